// Turns the binding compiled against Mono's .NET Framework 4.6.2 reference
// assemblies into a .NET Standard 2.0 assembly: its references to mscorlib,
// System and System.Core become one reference to netstandard 2.0.0.0. Every
// type it uses must be one that netstandard.dll forwards or defines; a type
// outside .NET Standard 2.0 fails the run instead of failing a user's build.
//   mono retarget.exe IN.dll NETSTANDARD-FACADE.dll OUT.dll
using System;
using System.Collections.Generic;
using System.Linq;
using Mono.Cecil;

static class Retarget
{
    static readonly string[] Retargeted = { "mscorlib", "System", "System.Core" };

    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: retarget.exe IN.dll NETSTANDARD-FACADE.dll OUT.dll");
            return 2;
        }
        var facade = ModuleDefinition.ReadModule(args[1]);
        var standard = new HashSet<string>(facade.ExportedTypes.Select(t => t.FullName)
                                               .Concat(facade.Types.Select(t => t.FullName)));
        var module = ModuleDefinition.ReadModule(args[0]);
        var netstandard = new AssemblyNameReference("netstandard", new Version(2, 0, 0, 0))
        {
            PublicKeyToken = new byte[] { 0xCC, 0x7B, 0x13, 0xFF, 0xCD, 0x2D, 0xDD, 0x51 }
        };
        var missing = new List<string>();
        foreach (TypeReference type in module.GetTypeReferences())
        {
            var scope = type.Scope as AssemblyNameReference;
            if (scope == null || !Retargeted.Contains(scope.Name)) continue;
            string name = type.IsNested ? type.DeclaringType.FullName + "/" + type.Name : type.FullName;
            if (!standard.Contains(name)) missing.Add(name + " (" + scope.Name + ")");
            type.Scope = netstandard;
        }
        if (missing.Count > 0)
        {
            Console.Error.WriteLine("not in .NET Standard 2.0: " + string.Join(", ", missing));
            return 1;
        }
        foreach (var old in module.AssemblyReferences.Where(r => Retargeted.Contains(r.Name)).ToList())
            module.AssemblyReferences.Remove(old);
        module.AssemblyReferences.Add(netstandard);
        module.Write(args[2]);
        return 0;
    }
}

#!/usr/bin/env bash
# Writes OUT/Pelvane.<version>.nupkg with Mono's compiler and zip:
#   pack.sh VERSION WIN32-DLL WIN64-DLL LINUX-SO OUT
# Layout:
#   Pelvane.nuspec, [Content_Types].xml, _rels/.rels, package/services/... (OPC)
#   lib/net462/Pelvane.dll, lib/netstandard2.0/Pelvane.dll (+ Pelvane.xml docs)
#   runtimes/win-x86/native/pelvane.dll, runtimes/win-x64/native/pelvane.dll,
#   runtimes/linux-x64/native/libpelvane.so
#   build/net462/Pelvane.targets, buildTransitive/net462/Pelvane.targets: copy
#     both Windows DLLs into x86\ and x64\ of a .NET Framework project's output
#   README.md
# The net462 assembly is compiled against Mono's .NET Framework 4.6.2 reference
# assemblies; the netstandard2.0 one is the same code compiled so and then
# retargeted to netstandard 2.0.0.0 (retarget.cs, with Mono.Cecil), which fails
# if the binding used a type outside .NET Standard 2.0.
# Files are dated SOURCE_DATE_EPOCH when it is set.
set -euo pipefail
version=$1 win32=$2 win64=$3 linux=$4 out=$5
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$(mkdir -p "$out" && cd "$out" && pwd)
work=$(mktemp -d /tmp/pelvane-nuget.XXXXXX)
trap 'rm -rf "$work"' EXIT
stamp=${SOURCE_DATE_EPOCH:-$(date +%s)}

api=/usr/lib/mono/4.6.2-api
facade=/usr/lib/mono/4.7.1-api/Facades/netstandard.dll
cecil=$(ls /usr/lib/mono/gac/Mono.Cecil/0.11.*/Mono.Cecil.dll 2>/dev/null | head -n1 || true)
for need in "$api/mscorlib.dll" "$facade" "$cecil"; do
  [ -f "$need" ] || { echo "pack.sh: ${need:-Mono.Cecil.dll} is missing (apt-get install mono-devel)" >&2; exit 1; }
done

pkg=$work/pkg
mkdir -p "$pkg"/lib/{net462,netstandard2.0} "$pkg"/runtimes/{win-x86,win-x64,linux-x64}/native \
  "$pkg"/build/net462 "$pkg"/buildTransitive/net462 "$pkg/_rels" "$pkg/package/services/metadata/core-properties"

# assembly_info TARGET-FRAMEWORK-NAME: the attributes every build carries.
assembly_info() {
  cat <<CS
[assembly: System.Reflection.AssemblyTitle("Pelvane")]
[assembly: System.Reflection.AssemblyDescription("C# binding of the Pelvane contactless card reader library")]
[assembly: System.Reflection.AssemblyProduct("Pelvane")]
[assembly: System.Reflection.AssemblyCompany("Pelvane project")]
[assembly: System.Reflection.AssemblyVersion("$version.0")]
[assembly: System.Reflection.AssemblyFileVersion("$version.0")]
[assembly: System.Reflection.AssemblyInformationalVersion("$version")]
[assembly: System.Runtime.Versioning.TargetFramework("$1")]
CS
}
compile() {  # output, framework name
  assembly_info "$2" >"$work/AssemblyInfo.cs"
  mcs -nologo -target:library -sdk:4.6.2 -optimize+ -warnaserror+ -nowarn:1591 -doc:"${1%.dll}.xml" -out:"$1" \
    "$root/bindings/dotnet/Pelvane.cs" "$work/AssemblyInfo.cs"
}
compile "$pkg/lib/net462/Pelvane.dll" ".NETFramework,Version=v4.6.2"
compile "$work/Pelvane.dll" ".NETStandard,Version=v2.0"
mcs -nologo -r:"$cecil" -r:System.Core -out:"$work/retarget.exe" "$here/retarget.cs"
MONO_PATH=$(dirname "$cecil") mono "$work/retarget.exe" "$work/Pelvane.dll" "$facade" \
  "$pkg/lib/netstandard2.0/Pelvane.dll"
cp "$work/Pelvane.xml" "$pkg/lib/netstandard2.0/"

cp "$win32" "$pkg/runtimes/win-x86/native/pelvane.dll"
cp "$win64" "$pkg/runtimes/win-x64/native/pelvane.dll"
cp "$linux" "$pkg/runtimes/linux-x64/native/libpelvane.so"
cp "$here/Pelvane.targets" "$pkg/build/net462/"
cp "$here/Pelvane.targets" "$pkg/buildTransitive/net462/"
sed "s/@VERSION@/$version/g" "$here/README.md" >"$pkg/README.md"

description="Driver library for a contactless card reader-writer whose PN532 NFC controller sits behind a
      CP210x or PL2303 USB-to-serial bridge: the RF_ packet interface (FeliCa, MIFARE Classic, Type A page
      cards, NFC peer-to-peer) and the RW_ interface for one ISO/IEC 14443 Type B card, with the native
      libraries for Windows x86, Windows x64 and Linux x64."
cat >"$pkg/Pelvane.nuspec" <<XML
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata minClientVersion="5.10">
    <id>Pelvane</id>
    <version>$version</version>
    <title>Pelvane</title>
    <authors>Pelvane project</authors>
    <license type="expression">MIT</license>
    <licenseUrl>https://licenses.nuget.org/MIT</licenseUrl>
    <readme>README.md</readme>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>$description</description>
    <tags>nfc pn532 felica mifare contactless card-reader</tags>
    <dependencies>
      <group targetFramework=".NETFramework4.6.2" />
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
  </metadata>
</package>
XML

# The Open Packaging Conventions parts that NuGet writes into every package.
cat >"$pkg/[Content_Types].xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="psmdcp" ContentType="application/vnd.openxmlformats-package.core-properties+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
  <Default Extension="so" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
</Types>
XML
properties=$(printf '%s' "Pelvane.$version" | sha256sum | cut -c1-32)
cat >"$pkg/_rels/.rels" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Pelvane.nuspec" Id="R0" />
  <Relationship Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="/package/services/metadata/core-properties/$properties.psmdcp" Id="R1" />
</Relationships>
XML
cat >"$pkg/package/services/metadata/core-properties/$properties.psmdcp" <<XML
<?xml version="1.0" encoding="utf-8"?>
<coreProperties xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns="http://schemas.openxmlformats.org/package/2006/metadata/core-properties">
  <dc:creator>Pelvane project</dc:creator>
  <dc:description>C# binding and native libraries of the Pelvane contactless card reader library</dc:description>
  <dc:identifier>Pelvane</dc:identifier>
  <version>$version</version>
  <keywords>nfc pn532 felica mifare contactless card-reader</keywords>
  <lastModifiedBy>scripts/nuget/pack.sh</lastModifiedBy>
</coreProperties>
XML

nupkg=$out/Pelvane.$version.nupkg
rm -f "$nupkg"
(cd "$pkg" && find . -exec touch -d "@$stamp" {} + && LC_ALL=C zip -qrXD "$nupkg" .)
echo "${nupkg#"$root/"}"

// Quickstart.cs: open the reader, find a FeliCa card, read one block, close.
//
//   Quickstart            scan the CP210x and PL2303 ports for a reader
//   Quickstart 3          open COM3
//   Quickstart 1 PATH     map port 1 onto a device path first (Linux: the virtual
//                         reader's pseudo-terminal)
//
// Build it as docs/windows-guide.md shows: in a project with the Pelvane NuGet
// package, or with csc from the zip's folder together with
// bindings\dotnet\Pelvane.cs and bin\pelvane.dll beside the program.
using System;
using Pelvane;

static class Quickstart
{
    // True when the command ran and the card answered; otherwise says why.
    static bool Check(string what, Response r)
    {
        if (!r.Written)
        {
            Console.WriteLine("{0} failed: result {1}, no response", what, r.Result);
            return false;
        }
        if (!r.Ok)
        {
            Console.WriteLine("{0} failed: result {1}, status 0x{2:X2}", what, r.Result, r.Status);
            return false;
        }
        return true;
    }

    static string Hex(byte[] bytes)
    {
        return BitConverter.ToString(bytes).Replace('-', ' ');
    }

    static int Main(string[] args)
    {
        int port = args.Length > 0 ? int.Parse(args[0]) : -1;  // -1: scan
        if (args.Length > 1) Reader.SetPortDevice(port, args[1]);
        Reader reader;
        try
        {
            reader = Reader.Open(port);
        }
        catch (PelvaneException e)
        {
            Console.WriteLine("RF_OPEN failed: " + e.Message);  // the meaning of e.Result, then why
            return 3;
        }
        try
        {
            Console.WriteLine("reader opened on port {0}", reader.Port);
            // Mode selection: FeliCa, time-out 1.0 s. The answer: IC code, firmware version.
            Response r = reader.Command(new byte[] { 0x07, 0x10, 0x10, 0x0A, 0x00, 0x00, 0x00 });
            if (!Check("mode selection", r)) return 1;
            Console.WriteLine("controller IC 0x{0:X2}, firmware version 0x{1:X2}", r.Data[0], r.Data[1]);
            // Polling for any system code, time slot 0: the answer is the IDm.
            r = reader.Command(new byte[] { 0x05, 0x20, 0xFF, 0xFF, 0x00 });
            if (!Check("polling", r)) return 1;
            var idm = new byte[8];
            Array.Copy(r.Data, idm, 8);
            Console.WriteLine("card IDm " + Hex(idm));
            // Read Without Encryption: one service (090F, high byte first), block 0.
            var read = new byte[16];
            read[0] = 0x10;
            read[1] = 0x30;
            Array.Copy(idm, 0, read, 2, 8);
            new byte[] { 0x01, 0x09, 0x0F, 0x01, 0x80, 0x00 }.CopyTo(read, 10);
            r = reader.Command(read);
            if (!Check("reading", r)) return 1;
            Console.WriteLine("block 0: " + Hex(r.Data));
            return 0;
        }
        finally
        {
            reader.Dispose();  // RF_CLOSE, also when a command threw
            Console.WriteLine("closed");
        }
    }
}

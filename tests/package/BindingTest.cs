// The C# binding against pelvane-sim (FeliCa and Type B cards), one table of calls
// that reaches every public member.
//   mono BindingTest.exe DEVICE    (the simulator's pseudo-terminal)
// Prints one line per call and exits with the number of calls that went wrong.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using Pelvane;

static class BindingTest
{
    const string Idm = "01 2E 4C 10 00 00 00 01";
    // packet, result, status (-1: no response written), data
    static readonly object[][] Commands =
    {
        new object[] { "07 10 10 0A 00 00 00", 0, 0x00, "32 01" },
        new object[] { "05 20 FF FF 00", 0, 0x00, Idm },
        new object[] { "04 20 FF FF", 2, 0xFD, "" },
        new object[] { "02 E0", 2, 0xFC, "" },
        new object[] { "03 32 00", 1, -1, "" },
        new object[] { "07 10 30 05 00 00 00", 0, 0x00, "32 01" },
        new object[] { "05 20 FF FF 00", 0, 0xFE, "" },
    };

    static int failures;

    static byte[] Bytes(string hex)
    {
        return hex.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries)
                  .Select(b => Convert.ToByte(b, 16)).ToArray();
    }

    static void Check(string what, bool good)
    {
        Console.WriteLine("{0,-50} {1}", what, good ? "ok" : "WRONG");
        if (!good) failures++;
    }

    static int Main(string[] args)
    {
        foreach (var bad in new[] { Tuple.Create(0, args[0]), Tuple.Create(257, args[0]),
                                    Tuple.Create(1, "/dev/" + new string('x', 255)) })
        {
            try
            {
                Reader.SetPortDevice(bad.Item1, bad.Item2);
                Check("SetPortDevice(" + bad.Item1 + ", " + bad.Item2.Length + " characters) throws", false);
            }
            catch (ArgumentException e)
            {
                Check("SetPortDevice(" + bad.Item1 + ", " + bad.Item2.Length + " characters) -> " + e.Message,
                      e.Message.Contains("259"));
            }
        }
        Reader.SetPortDevice(1, "/dev/" + new string('x', 254));  // 259 characters are taken
        Reader.SetPortDevice(1, args[0]);
        var lines = new List<string>();
        Reader.SetTraceSink(line => lines.Add(Marshal.PtrToStringAnsi(line)));
        using (var reader = Reader.Open(1))
        {
            Response r = null;
            foreach (var row in Commands)
            {
                r = reader.Command(Bytes((string)row[0]));
                int status = r.Written ? r.Status : -1;
                Check(string.Format("{0} -> {1} {2:X2} [{3}]", row[0], r.Result, status, BitConverter.ToString(r.Data)),
                      r.Result == (int)row[1] && status == (int)row[2] && r.Data.SequenceEqual(Bytes((string)row[3])));
                if (row == Commands[0])
                {
                    Check("Ok and Packet of a done command", r.Ok && r.Packet.SequenceEqual(Bytes("05 10 00 32 01")));
                    Reader.SetTraceSink(null);
                }
            }
            Check("Ok of a command that timed out", !r.Ok);
            Check("NativeMethods: RF_CLOSE of a port that is not open -> " + NativeMethods.RF_CLOSE(9),
                  NativeMethods.RF_CLOSE(9) == 1);
        }
        Check(string.Format("trace sink: {0} lines, then none after SetTraceSink(null)", lines.Count),
              lines.Skip(lines.Count - 2).SequenceEqual(new[] { "commandProc:0710100A000000\n", "APP Return 0510003201\n" }));
        try
        {
            Reader.Open(2).Dispose();
            Check("RF_OPEN of a missing port throws", false);
        }
        catch (PelvaneException e)
        {
            Check("RF_OPEN(2) -> " + e.Message, e.Result == 1 &&
                  e.Lines[0].StartsWith("open: /dev/ttyUSB1: open failed, error 2", StringComparison.Ordinal));
        }
        using (var card = Reader.OpenTypeB(1))
        {
            byte[] answer;
            int open = card.OpenResult, activated = card.Activate(), sensed = card.Sense();
            int sent = card.Transmit(Bytes("00 A4 04 00 00"), out answer);
            int released = card.Deactivate(), after = card.Sense();
            Check(string.Format("RW_ session -> {0} {1} {2:X} {3} [{4}] {5} {6}", open, activated, sensed, sent,
                                BitConverter.ToString(answer), released, after),
                  open == 0 && activated == 0 && sensed == 0x8200 && sent == 0 &&
                  answer.SequenceEqual(new byte[] { 0x90, 0x00 }) && released == 0 && after == 0);
            int inserted = card.Insert(), insertedSense = card.Sense(), wrongKind = card.Eject(3);
            int ejected = card.Eject(), ejectedSense = card.Sense(), wrongActivate = card.Activate(3);
            Check(string.Format("Insert, Eject -> {0} {1:X} {2:X} {3} {4} {5:X}", inserted, insertedSense, wrongKind,
                                ejected, ejectedSense, wrongActivate),
                  inserted == 0 && insertedSense == 0x8100 && wrongKind == 0xA301 && ejected == 0 &&
                  ejectedSense == 0 && wrongActivate == 0xA301);
            card.Dispose();
        }
        Console.WriteLine("{0} calls wrong", failures);
        return failures;
    }
}

// The C# binding against pelvane-sim (FeliCa and Type B cards), one table of calls.
//   mono BindingTest.exe DEVICE    (the simulator's pseudo-terminal)
// Prints one line per call and exits with the number of calls that went wrong.
using System;
using System.Linq;
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
        Reader.SetPortDevice(1, args[0]);
        using (var reader = Reader.Open(1))
        {
            foreach (var row in Commands)
            {
                Response r = reader.Command(Bytes((string)row[0]));
                int status = r.Written ? r.Status : -1;
                Check(string.Format("{0} -> {1} {2:X2} [{3}]", row[0], r.Result, status, BitConverter.ToString(r.Data)),
                      r.Result == (int)row[1] && status == (int)row[2] && r.Data.SequenceEqual(Bytes((string)row[3])));
            }
        }
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
        }
        Console.WriteLine("{0} calls wrong", failures);
        return failures;
    }
}

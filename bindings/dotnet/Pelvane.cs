// Pelvane for .NET: the Pelvane NuGet package holds this file compiled (for
// .NET Framework 4.6.2 and .NET Standard 2.0) with the native libraries of each
// platform; or include this one file in a project. NativeMethods declares every
// export of pelvane.h; Reader wraps the RF_ packet interface and the RW_ Type B
// card interface without hiding a status or a result.
//
// Which pelvane.dll a process loads must match its width. With the NuGet
// package, .NET (Core) picks runtimes/<rid>/native by itself, and on .NET
// Framework the package copies both DLLs into x86\ and x64\ under the output
// folder, from which NativeMethods loads the one of the running process. With
// the zip, pelvane.dll of the matching package goes beside the program. On
// Linux (Mono, .NET) DllImport("pelvane") loads libpelvane.so.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;

namespace Pelvane
{
    /// <summary>The exports of pelvane.h, one to one (all __stdcall).</summary>
    public static class NativeMethods
    {
        const string Library = "pelvane";

        // On Windows, a pelvane.dll of the process's width in an x86\ or x64\
        // folder beside the application is loaded before the first call, so
        // that DllImport finds it loaded: one AnyCPU build serves both widths.
        static NativeMethods()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT) return;
            string folder = IntPtr.Size == 8 ? "x64" : "x86";
            foreach (string baseDir in new[] { AppDomain.CurrentDomain.BaseDirectory,
                                               Path.GetDirectoryName(typeof(NativeMethods).Assembly.Location) })
            {
                if (string.IsNullOrEmpty(baseDir)) continue;
                string path = Path.Combine(Path.Combine(baseDir, folder), "pelvane.dll");
                if (File.Exists(path) && LoadLibraryW(path) != IntPtr.Zero) return;
            }
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern IntPtr LoadLibraryW(string path);

        [UnmanagedFunctionPointer(CallingConvention.StdCall)]
        public delegate void TraceSink(IntPtr line);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern ushort RF_OPEN(int port, out int openedPort);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RF_CLOSE(int port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern ushort RF_COMMAND(int port, byte[] command, [Out] byte[] response);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Open(int port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Close(int port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Activate(int port, int kind, int reserved, int option, int flags);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Deactivate(int port, int reserved1, int reserved2);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Eject(int port, int kind);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Insert(int port, int reserved);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Sense(int port, int reserved1, out int status, int reserved2);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int RW_Transmit(int port, int reserved1, int reserved2, int length,
                                             byte[] data, out int responseLength, [Out] byte[] response);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int PV_SetTraceSink(TraceSink sink);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int PV_SetPortDevice(int port, string path);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int PV_SetLineSpeed(int port, int baud);
    }

    /// <summary>One response of RF_COMMAND. When the library wrote no response
    /// (Written false, see Result) Status is 0xFF and Data and Packet are empty.</summary>
    public sealed class Response
    {
        public ushort Result { get; private set; }
        public byte Status { get; private set; }
        public byte[] Data { get; private set; }
        public byte[] Packet { get; private set; }
        public bool Written { get; private set; }
        /// <summary>Result 0 and STATUS 0x00.</summary>
        public bool Ok { get { return Written && Result == 0 && Status == 0; } }

        const byte LongFormMarker = 0xFF;
        const int SegmentSize = 243;
        const byte SegmentMarker = 0xA7;

        // Before the call the buffer's CMD positions hold a byte that is not the
        // command's, so a response the library did not write is told apart.
        internal static void Prepare(byte cmd, byte[] buffer)
        {
            Array.Clear(buffer, 0, buffer.Length);
            buffer[1] = (byte)~cmd;
            buffer[3] = (byte)~cmd;
        }

        // Short form: LEN CMD STATUS data. Long form of 0x86: FF LENH LENL CMD
        // STATUS data. Segmented reads 0x70/0x71: COUNT CMD STATUS [A7] segments.
        internal static Response Parse(ushort result, byte cmd, byte[] buffer)
        {
            var r = new Response { Result = result, Status = 0xFF, Data = new byte[0], Packet = new byte[0] };
            int head = 3, total;
            if (cmd == 0x86 && buffer[0] == LongFormMarker && buffer[3] == cmd)
            {
                head = 5;
                total = (buffer[1] << 8) | buffer[2];
                r.Status = buffer[4];
            }
            else if (buffer[1] != cmd)
            {
                return r;
            }
            else if (cmd == 0x70 || cmd == 0x71)
            {
                head = cmd == 0x70 ? 4 : 3;
                total = head + SegmentSize * buffer[0];
                if (cmd == 0x70 && buffer[3] != SegmentMarker) total = 3;
                r.Status = buffer[2];
            }
            else
            {
                total = buffer[0];
                if (total >= 3) r.Status = buffer[2];
            }
            total = Math.Min(total, buffer.Length);
            r.Written = true;
            r.Packet = Slice(buffer, 0, total);
            r.Data = total > head ? Slice(buffer, head, total - head) : new byte[0];
            return r;
        }

        internal static byte[] Slice(byte[] source, int offset, int count)
        {
            var part = new byte[Math.Max(count, 0)];
            Array.Copy(source, offset, part, 0, part.Length);
            return part;
        }
    }

    /// <summary>A port that could not be opened. Result is RF_OPEN's (1, 2, 0xFFFF)
    /// or RW_Open's; Lines holds the library's "open: " trace lines saying why.</summary>
    public sealed class PelvaneException : Exception
    {
        public int Port { get; private set; }
        public int Result { get; private set; }
        public IList<string> Lines { get; private set; }

        public PelvaneException(int port, int result, IList<string> lines)
            : base(Describe(port, result, lines))
        {
            Port = port;
            Result = result;
            Lines = lines;
        }

        static string Describe(int port, int result, IList<string> lines)
        {
            string where;
            if (result == 0xFFFF) where = "no reader found on any CP210x or PL2303 port";
            else if (result == 2) where = "port " + port + " is outside 1 to 256";
            else if (port == -1) where = "the scan failed";
            else where = "port " + port + " is missing or busy, or no reader answered on it";
            string text = where + " (result " + result + ")";
            foreach (string line in lines) text += Environment.NewLine + "  " + line.TrimEnd('\n');
            return text;
        }
    }

    /// <summary>One open reader. Calls for one reader must not overlap; each call
    /// blocks its thread (up to the command's time-out), so a GUI calls from a worker.</summary>
    public sealed class Reader : IDisposable
    {
        /// <summary>PELVANE_RESPONSE_MAX: a response buffer of this size suits every command.</summary>
        public const int ResponseMax = 22846;
        public const int ApduResponseMax = 1024;
        const int CommandArea = 256;

        public int Port { get; private set; }
        bool open;
        readonly byte[] response = new byte[ResponseMax];

        Reader(int port)
        {
            Port = port;
            open = true;
        }

        /// <summary>RF_OPEN: port 1 to 256, or -1 to take the first bridge port with a reader.</summary>
        public static Reader Open(int port)
        {
            int opened = 0;
            ushort result = 0;
            var lines = WhileOpening(() => result = NativeMethods.RF_OPEN(port, out opened));
            if (result != 0) throw new PelvaneException(port, result, lines);
            return new Reader(opened);
        }

        /// <summary>RW_Open: the reader set up for one Type B card (ports 1 to 255).
        /// 0xA203 (set-up refused) leaves the port open: the reader is returned then.</summary>
        public static Reader OpenTypeB(int port)
        {
            int result = 0;
            var lines = WhileOpening(() => result = NativeMethods.RW_Open(port));
            if (result != 0 && result != 0xA203) throw new PelvaneException(port, result, lines);
            return new Reader(port & 0xFF) { OpenResult = result };
        }

        /// <summary>RW_Open's result when the reader came from OpenTypeB.</summary>
        public int OpenResult { get; private set; }

        // The sink is installed only while opening and collects the "open: " lines;
        // a sink of the caller's own is installed again afterwards with SetTraceSink.
        static readonly object traceLock = new object();
        static List<string> collected;
        static readonly NativeMethods.TraceSink collector = Collect;
        static NativeMethods.TraceSink userSink;

        static void Collect(IntPtr line)
        {
            string text = Marshal.PtrToStringAnsi(line) ?? "";
            if (collected != null && text.StartsWith("open: ", StringComparison.Ordinal)) collected.Add(text);
            if (userSink != null) userSink(line);
        }

        static List<string> WhileOpening(Action open)
        {
            lock (traceLock)
            {
                collected = new List<string>();
                NativeMethods.PV_SetTraceSink(collector);
                try { open(); }
                finally { NativeMethods.PV_SetTraceSink(userSink); }
                return collected;
            }
        }

        /// <summary>Installs a trace sink (null: discard). The library keeps only the
        /// pointer; this class keeps the delegate alive.</summary>
        public static void SetTraceSink(NativeMethods.TraceSink sink)
        {
            lock (traceLock)
            {
                userSink = sink;
                NativeMethods.PV_SetTraceSink(sink);
            }
        }

        /// <summary>PV_SetPortDevice: maps a port number onto another device path.</summary>
        public static void SetPortDevice(int port, string path)
        {
            if (NativeMethods.PV_SetPortDevice(port, path) != 0)
                throw new ArgumentException("port must be 1 to 256 and the path at most 259 bytes");
        }

        /// <summary>PV_SetLineSpeed: asks for a faster line (230400, 460800 or 921600 baud) at the
        /// next opening of a port (1 to 256), or of every port (0); 115200 asks for none, 0 clears.</summary>
        public static void SetLineSpeed(int port, int baud)
        {
            if (NativeMethods.PV_SetLineSpeed(port, baud) != 0)
                throw new ArgumentException("port must be 0 to 256 and baud 0, 115200, 230400, 460800 or 921600");
        }

        /// <summary>RF_COMMAND: one command packet (LEN CMD parameters) in, its response out.</summary>
        public Response Command(byte[] packet)
        {
            if (packet == null || packet.Length < 2 || packet.Length > CommandArea - 1)
                throw new ArgumentException("a command packet holds 2 to 255 bytes");
            if (packet[0] > packet.Length)
                throw new ArgumentException("LEN is larger than the packet");
            var command = new byte[CommandArea];
            Array.Copy(packet, command, packet.Length);
            Response.Prepare(packet[1], response);
            ushort result = NativeMethods.RF_COMMAND(Port, command, response);
            return Response.Parse(result, packet[1], response);
        }

        /// <summary>RW_Activate; 0 or a code of the 0xAxxx family.</summary>
        public int Activate(int kind = 1, int option = 0, int flags = 0)
        {
            return NativeMethods.RW_Activate(Port, kind, 0, option, flags);
        }

        public int Insert() { return NativeMethods.RW_Insert(Port, 0); }
        public int Deactivate() { return NativeMethods.RW_Deactivate(Port, 0, 0); }
        public int Eject(int kind = 1) { return NativeMethods.RW_Eject(Port, kind); }

        /// <summary>RW_Sense: the card status word (0, 0x0800, 0x8100, 0x8200).</summary>
        public int Sense()
        {
            int status;
            NativeMethods.RW_Sense(Port, 0, out status, 0);
            return status;
        }

        /// <summary>RW_Transmit: result 0 with the card's answer, or 0xAE02 with none.</summary>
        public int Transmit(byte[] apdu, out byte[] answer)
        {
            if (apdu == null || apdu.Length < 1 || apdu.Length > 253)
                throw new ArgumentException("an APDU holds 1 to 253 bytes");
            var buffer = new byte[ApduResponseMax];
            int length;
            int result = NativeMethods.RW_Transmit(Port, 0, 0, apdu.Length, apdu, out length, buffer);
            answer = result == 0 ? Response.Slice(buffer, 0, Math.Min(length, buffer.Length)) : new byte[0];
            return result;
        }

        /// <summary>RF_CLOSE (the port of an RW_ session too); a second call does nothing.</summary>
        public void Dispose()
        {
            if (!open) return;
            open = false;
            NativeMethods.RF_CLOSE(Port);
        }
    }
}

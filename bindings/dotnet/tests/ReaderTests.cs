// The .NET binding against the simulated reader, through the Linux shared library:
//   mcs -out:ReaderTests.exe bindings/dotnet/*.cs bindings/dotnet/tests/ReaderTests.cs
//   LD_LIBRARY_PATH=build mono ReaderTests.exe build/sim/tqrf-sim
// Each test runs against a simulator of its own. Prints one line per test and a summary.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Text;
using System.Threading;
using TqRwdDll;

internal sealed class Sim : IDisposable
{
    public static string Program;
    private readonly Process process;
    public string Path { get; private set; }

    public Sim(params string[] options)
    {
        var info = new ProcessStartInfo(Program, string.Join(" ", options));
        info.UseShellExecute = false;
        info.RedirectStandardOutput = true;
        info.RedirectStandardError = true;
        process = Process.Start(info);
        string first = null;
        var ready = new ManualResetEvent(false);
        var reader = new Thread(() => {
            first = process.StandardOutput.ReadLine();
            ready.Set();
        });
        reader.IsBackground = true;
        reader.Start();
        if (!ready.WaitOne(TimeSpan.FromSeconds(20)) || string.IsNullOrEmpty(first)) {
            Stop();
            throw new Exception("tqrf-sim did not start: " + process.StandardError.ReadToEnd());
        }
        Path = first.Trim();
    }

    public void Stop()
    {
        try {
            if (!process.HasExited) process.Kill();
            process.WaitForExit(20000);
        } catch (InvalidOperationException) {
        }
    }

    public void Dispose() { Stop(); }
}

internal static class Tests
{
    private static int passed, failed;

    // The most reply slack there is, so that a simulator left unscheduled for a while on a
    // loaded machine still answers in time; a reply that came is taken at once. One attempt:
    // a fault on a reply is what the test sees (Retries asks for more).
    private static Reader Open(string path) { return new Reader(path, ReplyMode.Complete, 1000, 1); }

    private static void Check(bool condition, string what)
    {
        if (!condition) throw new Exception("check failed: " + what);
    }

    private static string Hex(byte[] b) { return BitConverter.ToString(b).Replace("-", ""); }

    private static T Throws<T>(Action action) where T : Exception
    {
        try {
            action();
        } catch (T e) {
            return e;
        } catch (Exception e) {
            throw new Exception("expected " + typeof(T).Name + ", got " + e.GetType().Name + ": " +
                                e.Message);
        }
        throw new Exception("expected " + typeof(T).Name + ", nothing was thrown");
    }

    private static void Run(string name, Action test)
    {
        try {
            test();
            passed++;
            Console.WriteLine("PASS " + name);
        } catch (Exception e) {
            failed++;
            Console.WriteLine("FAIL " + name + ": " + e);
        }
    }

    private static void CardSession()
    {
        using (var sim = new Sim())
        using (var r = Open(sim.Path)) {
            Card card = r.Find();
            Check(Hex(card.Type) == "0400" && card.Uid == "3A7C91E5" && card.Size == 8, "find");
            r.Login(1, Reader.DefaultKey);
            var data = new byte[16];
            for (int i = 0; i < 16; i++) data[i] = (byte)(0xA0 + i);
            r.Write(4, data);
            Check(Hex(r.Read(4)) == Hex(data), "read back");
            r.InitVal(5, 100);
            r.Increment(5, 20);
            r.Transfer(5);
            Check(r.ReadVal(5) == 120, "increment");
            r.Decrement(5, 121);
            r.Transfer(6);
            Check(r.ReadVal(6) == -1 && r.ReadVal(5) == 120, "signed value: -1 reads as -1");
            r.InitVal(6, int.MinValue);
            Check(r.ReadVal(6) == int.MinValue, "signed value: the smallest");
            r.Restore(5);
            r.Transfer(6);
            Check(r.ReadVal(6) == 120, "restore");
            r.Halt();
            var e = Throws<ReaderStatusException>(() => r.Find(RequestMode.Idle));
            Check(e.Status == 0x11 && e.Text == NativeMethods.RefusalText(0x62, 0x11) &&
                  e.Text.Contains("only a request for all cards wakes it"), "halted card");
            Check(r.Find(RequestMode.All).Uid == "3A7C91E5", "wake-up for all");
        }
    }

    private static void TwoCards()
    {
        using (var sim = new Sim("--uid", "0A0B0C0D", "--uid", "01020304"))
        using (var r = Open(sim.Path)) {
            Check(Hex(r.Request(RequestMode.All)) == "0400", "request");
            Check(Hex(r.Anticoll(0)) == "01020304" && Hex(r.Anticoll(1)) == "0A0B0C0D", "anticoll");
            Check(r.Select(new byte[] { 10, 11, 12, 13 }) == 8, "select");
        }
    }

    private static void DeviceCommands()
    {
        using (var sim = new Sim("--identity", "89ABCDEF"))
        using (var r = new Reader(sim.Path, ReplyMode.Fixed, 1000)) {
            Check(r.ReplyMode == ReplyMode.Fixed && r.SlackMs == 1000, "options");
            r.ReplyMode = ReplyMode.Complete;
            Check(r.ReplyMode == ReplyMode.Complete, "option set");
            Check(Encoding.ASCII.GetString(r.HardwareVersion()) == "TQRF-SIM RC500 V1.0", "version");
            Check(r.Id() == 0x89ABCDEF, "id");
            r.LinkTest();
            r.Reset();
            Check(Encoding.ASCII.GetString(r.E2Read(0), 4, 8) == "RC500SIM", "e2 product text");
            var memory = new byte[16];
            for (int i = 0; i < 16; i++) memory[i] = (byte)i;
            r.E2Write(0x20, memory);
            Check(Hex(r.E2Read(0x20)) == Hex(memory), "e2 write");
            var clock = new byte[] { 0x30, 0x15, 0x10, 0x24, 0x12, 0x02, 0x26 };
            r.ClockSet(clock);
            byte[] now = r.ClockRead();
            Check(now.Length == 7 && Hex(now).Substring(2) == Hex(clock).Substring(2), "clock");
            r.Beep(1, 5);
            r.SetBaud(9600);
            r.LinkTest();
        }
    }

    private static void Exceptions()
    {
        using (var sim = new Sim())
        using (var r = Open(sim.Path)) {
            r.Find();
            r.LoadKey(KeyType.A, 1, new byte[] { 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5 });
            var e = Throws<ReaderStatusException>(() => r.Authenticate(KeyType.A, 1));
            Check(e.Status == 0x12 && e.Code == 0x12, "wrong key");
            // In the words of the tqrf tool and the Python package.
            const string wrongKey = "the key is wrong, or the sector's access conditions keep " +
                                    "this key out; find the card again before the next try " +
                                    "(reader status 0x12)";
            Check(e.Text == wrongKey && e.Message == "Authenticate: " + wrongKey,
                  "wrong key in words: " + e.Message);
            var bad = Throws<BadArgumentException>(() => r.Read(64));
            Check(bad.Code == ResultCode.BadArgument, "block 64");
            bad = Throws<BadArgumentException>(() => r.Write(4, new byte[5]));
            Check(bad.Code == ResultCode.BadArgument, "short block");
            Throws<BadArgumentException>(() => r.LoadKey(KeyType.A, 1, null));
            Throws<BadArgumentException>(() => r.SlackMs = 1001);
        }
        using (var sim = new Sim("--no-card"))
        using (var r = Open(sim.Path)) {
            Check(Throws<ReaderStatusException>(() => r.Find()).Status == 0x11, "no card");
        }
        using (var sim = new Sim("--fault", "noreply@0x77/1", "--fault", "corrupt-xor@0x76/1"))
        using (var r = Open(sim.Path)) {
            Check(Throws<ReplyException>(() => r.LinkTest()).Code == ResultCode.ReplyFrame, "no reply");
            Check(Throws<ReplyException>(() => r.Id()).Code == ResultCode.ReplyChecksum, "bad xor");
            r.LinkTest();
        }
        using (var sim = new Sim()) {
            var r = Open(sim.Path);
            Throws<PortException>(() => new Reader(sim.Path));  // already open
            r.LinkTest();
            sim.Stop();
            var lost = Throws<DeviceLostException>(() => r.LinkTest());
            Check(lost.Code == ResultCode.DeviceLost && lost.OsError != 0 && r.OsError != 0, "lost");
            Throws<DeviceLostException>(() => r.LinkTest());
            r.Dispose();
            Check(r.IsClosed, "closed");
            Throws<ObjectDisposedException>(() => r.LinkTest());
        }
        var open = Throws<PortException>(() => new Reader("/nonexistent/tty-of-nobody"));
        Check(open.Code == ResultCode.PortOpenFailed && open.OsError == 2, "missing device");
        Check(open.Message.EndsWith(": No such file or directory"),
              "the system's reason: " + open.Message);
    }

    private static void Retries()
    {
        using (var sim = new Sim())
        using (var r = new Reader(sim.Path)) {
            Check(r.Attempts == 3, "a reader opens with 3 attempts");
            Throws<BadArgumentException>(() => r.Attempts = 11);
        }
        // A lost read reply is repeated; a lost transfer reply is settled by reading back.
        using (var sim = new Sim("--fault", "noreply@0x45/1", "--fault", "noreply@0x4C/1"))
        using (var r = new Reader(sim.Path, ReplyMode.Complete, 300, 3)) {
            var retries = new System.Collections.Generic.List<TraceEvent>();
            r.Trace = e => { if (e.Kind == TraceKind.Retry) retries.Add(e); };
            r.Find();
            r.Login(1, Reader.DefaultKey);
            r.InitVal(5, 100);
            Check(Hex(r.Read(4)) == new string('0', 32), "read after a lost reply");
            int before;
            Check(r.ApplyValue(5, -1, out before) == 99 && before == 100, "apply after a lost reply");
            Check(r.Debit(5, 9) == 90 && r.Credit(5, 10) == 100, "debit, credit");
            Check(r.ReadVal(5) == 100, "the value, read");
            Check(retries.Count == 2 && retries[0].Data[0] == 0x45 &&
                      retries[1].Data[2] == (byte)RetryAction.Settled, "the trace");
            ReaderStats s = r.Stats;
            Check(s.Retries == 1 && s.Recoveries == 2 && s.Failures == 0, "the counters");
        }
    }

    private static void TraceEvents()
    {
        using (var sim = new Sim())
        using (var r = Open(sim.Path)) {
            var events = new List<TraceEvent>();
            r.Trace = events.Add;
            GC.Collect();
            GC.WaitForPendingFinalizers();
            r.LinkTest();
            Check(events.Count == 4, "four events");
            Check(events[0].Kind == TraceKind.Address && Hex(events[0].Data) == "58", "address");
            Check(events[1].Kind == TraceKind.Frame && Hex(events[1].Data) == "0004BB7755009D", "frame");
            Check(events[2].Kind == TraceKind.Reply && Hex(events[2].Data) == "00010001", "reply");
            Check(events[3].Kind == TraceKind.Result && events[3].Result == 0, "result");
            Check(events[0].TimeUs <= events[3].TimeUs, "time");

            r.Trace = ev => { throw new InvalidTimeZoneException("trace failed"); };
            r.LinkTest();
            Check(r.LastTraceError is InvalidTimeZoneException, "trace exception kept");

            r.Trace = ev => r.LinkTest();  // refused instead of deadlocking
            r.LinkTest();
            Check(r.LastTraceError is InvalidOperationException, "reentry refused");

            r.Trace = null;
            events.Clear();
            r.LinkTest();
            Check(events.Count == 0, "trace removed");
        }
    }

    private static void TwoThreads()
    {
        using (var simA = new Sim("--uid", "11223344"))
        using (var simB = new Sim("--uid", "55667788"))
        using (var a = Open(simA.Path))
        using (var b = Open(simB.Path)) {
            var errors = new List<Exception>();
            Func<Reader, string, int, ThreadStart> session = (r, uid, seed) => () => {
                try {
                    Check(r.Find().Uid == uid, "uid");
                    r.Login(1, Reader.DefaultKey);
                    for (int n = 0; n < 20; n++) {
                        var data = new byte[16];
                        for (int i = 0; i < 16; i++) data[i] = (byte)(seed + n);
                        r.Write(4, data);
                        Check(Hex(r.Read(4)) == Hex(data), "read back");
                    }
                } catch (Exception e) {
                    lock (errors) errors.Add(e);
                }
            };
            var ta = new Thread(session(a, "11223344", 0));
            var tb = new Thread(session(b, "55667788", 100));
            ta.Start();
            tb.Start();
            Check(ta.Join(TimeSpan.FromSeconds(120)) && tb.Join(TimeSpan.FromSeconds(120)), "joined");
            if (errors.Count > 0) throw errors[0];
        }
    }

    private static void LegacyExports()
    {
        using (var sim = new Sim()) {
            byte[] port = NativeMethods.PortNameBuffer("COM999");
            Check(NativeMethods.tqrf_init(port) == ResultCode.PortOpenFailed, "COM999 absent");
            Check(NativeMethods.TextOf(port) == "999", "name shortened in place");

            Check(NativeMethods.tqrf_init_device(sim.Path) == 0, "init_device");
            try {
                var type = new byte[2];
                var serial = new byte[4];
                byte size = 0;
                Check(NativeMethods.tqrf_request(0, type) == 0 && Hex(type) == "0400", "request");
                Check(NativeMethods.tqrf_anticoll(0, serial) == 0 && Hex(serial) == "3A7C91E5", "anticoll");
                Check(NativeMethods.tqrf_select(serial, ref size) == 0 && size == 8, "select");
                Check(NativeMethods.tqrf_loadkey(0, 1, Reader.DefaultKey) == 0, "loadkey");
                Check(NativeMethods.tqrf_authentication_2(0, 1, 7) == 0, "authentication_2");
                Check(NativeMethods.tqrf_authentication_2(0, 1, 6) == ResultCode.NotSectorTrailer, "not trailer");
                Check(NativeMethods.tqrf_wr_asc(5, NativeMethods.AsciiBuffer("00112233445566778899AABBCCDDEEFF")) == 0,
                      "wr_asc");
                var block = new byte[16];
                Check(NativeMethods.tqrf_read(5, block) == 0 && Hex(block) == "00112233445566778899AABBCCDDEEFF",
                      "read");
                var text = new byte[32];
                Check(NativeMethods.tqrf_rd_asc(5, text) == 0 &&
                          Encoding.ASCII.GetString(text) == "00112233445566778899AABBCCDDEEFF", "rd_asc");
                uint value = 0;
                Check(NativeMethods.tqrf_initval(6, 7) == 0 && NativeMethods.tqrf_increment(6, 3) == 0 &&
                          NativeMethods.tqrf_transfer(6) == 0 && NativeMethods.tqrf_readval(6, ref value) == 0 &&
                          value == 10, "values");
                Check(NativeMethods.tqrf_halt() == 0, "halt");
                var t4 = new byte[4];
                var s8 = new byte[8];
                var z2 = new byte[2];
                Check(NativeMethods.tqrf_card_asc(1, 0, t4, s8, z2) == 0 && Encoding.ASCII.GetString(s8) == "3A7C91E5" &&
                          Encoding.ASCII.GetString(t4) == "0400" && Encoding.ASCII.GetString(z2) == "08", "card_asc");
                Check(NativeMethods.tqrf_card_asc_1(1, 0, t4, s8, z2) == 0, "card_asc_1");
                Check(NativeMethods.tqrf_loadkey_asc(0, 2, NativeMethods.AsciiBuffer("FFFFFFFFFFFF")) == 0, "loadkey_asc");
                Check(NativeMethods.tqrf_authentication(0, 2) == 0, "authentication");
                var version = new byte[ResultCode.ReplyDataMax];
                Check(NativeMethods.tqrf_ReadHardwareVersionNumber(version) == 0 &&
                          NativeMethods.TextOf(version) == "TQRF-SIM RC500 V1.0", "version");
                uint id = 0;
                Check(NativeMethods.tqrf_Read_RWD_ID(ref id) == 0 && id == 0x12345678, "id");
                var clock = new byte[ResultCode.ReplyDataMax];
                Check(NativeMethods.tqrf_UploadRTC(clock) == 0, "clock read");
                Check(NativeMethods.tqrf_DownloadRTC(new byte[] { 0x00, 0x00, 0x12, 0x01, 0x01, 0x04, 0x26 }) == 0, "clock set");
                var e2 = new byte[ResultCode.ReplyDataMax];
                Check(NativeMethods.tqrf_Read_RC500E2(0, e2) == 0 && Encoding.ASCII.GetString(e2, 4, 8) == "RC500SIM",
                      "e2 read");
                Check(NativeMethods.tqrf_Write_RC500E2(0x30, new byte[16]) == 0, "e2 write");
                Check(NativeMethods.tqrf_Link_PCandRWD() == 0 && NativeMethods.tqrf_BeepControl(1, 1) == 0 &&
                          NativeMethods.tqrf_reset(0) == 0, "link, beep, reset");
                Check(NativeMethods.tqrf_request_2(1, type) == 0, "request_2");
                Check(NativeMethods.tqrf_BaudSetup("9600") == 0, "baud");
                Check(NativeMethods.tqrf_restore(6) != ResultCode.PortNotOpen &&
                          NativeMethods.tqrf_decrement(6, 1) != ResultCode.PortNotOpen &&
                          NativeMethods.tqrf_write(4, new byte[16]) != ResultCode.PortNotOpen,
                      "remaining card exports");
            } finally {
                Check(NativeMethods.tqrf_exit() == 0, "exit");
            }
            Check(NativeMethods.tqrf_exit() == ResultCode.Failed, "exit with no port");
            Check(NativeMethods.tqrf_Link_PCandRWD() == ResultCode.PortNotOpen, "no port");
            string version2 = NativeMethods.LibraryVersion();
            Check(version2 == null || version2.Length > 0, "library version");
        }
    }

    // Probing tells a reader from an echoing line, a device that sends noise, a silent line
    // and a path that does not open; a reader's failed command says what came back.
    private static void FindingTheReader()
    {
        using (var sim = new Sim()) {
            ProbeResult found = Ports.Probe(sim.Path, 1040);
            Check(found.Outcome == ProbeOutcome.Reader, "reader: " + found.Outcome);
            Check(found.ReaderId == 0x12345678 && found.Version.Length > 0, "version and identity");
            Check(found.RoundTripUs > 0 && found.Port == sim.Path, "round trip");
        }
        using (var echo = new Sim("--adapter", "echo")) {
            ProbeResult found = Ports.Probe(echo.Path);
            Check(found.Outcome == ProbeOutcome.Echo, "echo: " + found.Outcome);
            Check(Hex(found.Received) == "580004BB7755009D", "echoed bytes " + Hex(found.Received));
            using (var r = new Reader(echo.Path, ReplyMode.Complete, 60)) {
                var e = Throws<ReplyException>(() => r.LinkTest());
                Check(e.Answer == Answer.Echo && e.Message.Contains("echoes what is sent"), e.Message);
                Check(r.LastAnswer == Answer.Echo, "last answer echo");
            }
        }
        using (var noise = new Sim("--adapter", "noise")) {
            Check(Ports.Probe(noise.Path).Outcome == ProbeOutcome.Noise, "noise");
        }
        using (var silent = new Sim("--fault", "noreply")) {
            Check(Ports.Probe(silent.Path).Outcome == ProbeOutcome.Silent, "silent");
            using (var r = new Reader(silent.Path, ReplyMode.Complete, 60)) {
                Check(r.LastAnswer == Answer.None, "no exchange yet");
                var e = Throws<ReplyException>(() => r.LinkTest());
                Check(e.Answer == Answer.Silence && e.Message.Contains("nothing came back"), e.Message);
            }
        }
        ProbeResult missing = Ports.Probe("/dev/tqrf-no-such-port");
        Check(missing.Outcome == ProbeOutcome.Missing && missing.OsError == 2, "missing");
        Throws<BadArgumentException>(() => Ports.Probe(""));
        foreach (PortInfo p in Ports.List()) {
            Check(p.Device.Length > 0 && p.StablePath != null && p.Description.Length > 0 &&
                      p.Driver != null && p.Product != null,
                  "listed port " + p.Device);
        }
    }

    private static int Main(string[] args)
    {
        if (args.Length != 1) {
            Console.Error.WriteLine("usage: ReaderTests.exe PATH-OF-tqrf-sim");
            return 2;
        }
        Sim.Program = args[0];
        Run("card session", CardSession);
        Run("request, anticollision, select", TwoCards);
        Run("reader device commands and options", DeviceCommands);
        Run("exceptions", Exceptions);
        Run("trace", TraceEvents);
        Run("repeats after a lost reply", Retries);
        Run("two readers in two threads", TwoThreads);
        Run("legacy exports", LegacyExports);
        Run("finding the reader", FindingTheReader);
        Console.WriteLine("mono: " + passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}

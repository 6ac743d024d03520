// Reader.cs - an open reader over the handle API.
using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace TqRwdDll
{
    /// <summary>
    /// One reader on one serial port, from construction until Dispose(). Methods return the
    /// data and throw a TqrfException subclass on any failure; nothing is sent for a refused
    /// argument. Calls on one reader from several threads are serialised by the library
    /// (a sequence such as Find, Login, Read is not atomic); different readers run in
    /// parallel. Dispose() while another thread is inside a call waits for it (SafeHandle).
    /// </summary>
    public sealed class Reader : IDisposable
    {
        /// <summary>The key of a factory-fresh card, FF FF FF FF FF FF (a new array each time).</summary>
        public static byte[] DefaultKey
        {
            get { return new byte[] { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }; }
        }

        private const int VariableCapacity = ResultCode.ReplyDataMax;

        private readonly ReaderHandle handle;
#pragma warning disable 414  // never read: it is there to keep the delegate alive
        private TraceCallback hook;  // referenced for as long as the library may call it
#pragma warning restore 414
        private Action<TraceEvent> trace;
        private int traceThread;  // managed id of the thread inside the trace, 0 when none

        /// <summary>The port as given.</summary>
        public string Port { get; private set; }

        /// <summary>The last exception the Trace action threw (they never leave the exchange).</summary>
        public Exception LastTraceError { get; private set; }

        /// <summary>Opens a reader in ReplyMode.Complete with no extra slack and 3 attempts.</summary>
        public Reader(string port) : this(port, ReplyMode.Complete, 0) { }

        /// <summary>Opens a reader with 3 attempts (see Attempts).</summary>
        public Reader(string port, ReplyMode replyMode, int slackMs) : this(port, replyMode, slackMs, 3) { }

        /// <summary>
        /// Opens a reader. port: "COM3" (on Linux /dev/ttyS2) or a device path as given.
        /// Throws PortException (OsError says why) when the device does not open, and
        /// BadArgumentException for a reply mode or slack (0 to 1000 ms) the library refuses.
        /// </summary>
        public Reader(string port, ReplyMode replyMode, int slackMs, int attempts)
        {
            if (string.IsNullOrEmpty(port) || port.IndexOf('\0') >= 0)
                throw new BadArgumentException("Open", "not a port name");
            Port = port;
            ReaderHandle h;
            int rc = NativeMethods.tqrf_reader_open(port, out h);
            if (rc != 0) {
                int osError = NativeMethods.tqrf_reader_os_error_of_open(IntPtr.Zero);
                if (h != null) h.Dispose();
                throw TqrfException.For(rc, "Open " + port, osError);
            }
            handle = h;
            try {
                SetOption(ReaderOption.ReplyMode, (int)replyMode);
                SetOption(ReaderOption.ReplySlackMs, slackMs);
                SetOption(ReaderOption.Attempts, attempts);
            } catch {
                handle.Dispose();
                throw;
            }
        }

        /// <summary>Closes the reader (waits for a call in progress on another thread).</summary>
        public void Dispose()
        {
            Enter("Dispose");
            handle.Dispose();
        }

        /// <summary>True once disposed.</summary>
        public bool IsClosed { get { return handle.IsClosed; } }

        private void Enter(string operation)
        {
            if (traceThread != 0 && traceThread == Thread.CurrentThread.ManagedThreadId)
                throw new InvalidOperationException(operation +
                                                    ": a trace action must not call its own reader");
        }

        private void Check(int rc, string operation)
        {
            if (rc == 0) return;
            int osError = 0;
            if (rc == ResultCode.DeviceLost || rc == ResultCode.SendFailed || rc == ResultCode.Failed)
                osError = NativeMethods.tqrf_reader_os_error(handle);
            var answer = Answer.None;
            if (rc == ResultCode.ReplyChecksum || rc == ResultCode.ReplyFrame || rc == ResultCode.ReplyLength)
                answer = (Answer)NativeMethods.tqrf_reader_last_answer(handle);
            string refusal = rc > 0 && rc <= 255 ? NativeMethods.LastRefusal(handle) : null;
            throw TqrfException.For(rc, operation, osError, answer, refusal);
        }

        /// <summary>What the last exchange heard back: a frame, silence, an echo of the
        /// request (a loopback plug or crossed lines) or bytes that are no frame.</summary>
        public Answer LastAnswer
        {
            get
            {
                int a = NativeMethods.tqrf_reader_last_answer(Handle("LastAnswer"));
                return a < 0 ? Answer.None : (Answer)a;
            }
        }

        private ReaderHandle Handle(string operation)
        {
            Enter(operation);
            if (handle.IsClosed) throw new ObjectDisposedException("Reader", operation + ": the reader is closed");
            return handle;
        }

        private static byte[] Sized(byte[] data, int size, string what, string operation)
        {
            if (data == null || data.Length != size)
                throw new BadArgumentException(operation, what + " must be " + size + " bytes");
            return data;
        }

        private static byte[] Prefix(byte[] buffer, uint length)
        {
            byte[] result = new byte[length];
            Array.Copy(buffer, result, (int)length);
            return result;
        }

        private delegate int VariableRead(ReaderHandle r, byte[] output, uint capacity, out uint length);

        /// <summary>A reply of variable length: read into a buffer of the largest size and
        /// returned cut to what came.</summary>
        private byte[] ReadVariable(string operation, VariableRead read)
        {
            byte[] buffer = new byte[VariableCapacity];
            uint length;
            Check(read(Handle(operation), buffer, (uint)buffer.Length, out length), operation);
            return Prefix(buffer, length);
        }

        // ---- settings -------------------------------------------------------------------

        public void SetOption(ReaderOption option, int value)
        {
            Check(NativeMethods.tqrf_reader_set_option(Handle("SetOption"), (int)option, value), "SetOption");
        }

        public int GetOption(ReaderOption option)
        {
            int value;
            Check(NativeMethods.tqrf_reader_get_option(Handle("GetOption"), (int)option, out value), "GetOption");
            return value;
        }

        /// <summary>How replies are taken.</summary>
        public ReplyMode ReplyMode
        {
            get { return (ReplyMode)GetOption(ReaderOption.ReplyMode); }
            set { SetOption(ReaderOption.ReplyMode, (int)value); }
        }

        /// <summary>Extra milliseconds of reply deadline in complete mode, 0 to 1000.</summary>
        public int SlackMs
        {
            get { return GetOption(ReaderOption.ReplySlackMs); }
            set { SetOption(ReaderOption.ReplySlackMs, value); }
        }

        /// <summary>Attempts in all, 1 to 10, for a command whose reply is lost, late, garbled
        /// or of the wrong length, where a repeat is safe: reads and selections again, an
        /// authentication after selecting the card again, a write only when reading back shows
        /// it not there. A reader status is never repeated; halt, reset, beep, increment,
        /// decrement, restore and transfer never are (ApplyValue settles a value change).</summary>
        public int Attempts
        {
            get { return GetOption(ReaderOption.Attempts); }
            set { SetOption(ReaderOption.Attempts, value); }
        }

        /// <summary>The reader's counters since it was opened.</summary>
        public ReaderStats Stats
        {
            get
            {
                var native = new ReaderStatsNative();
                native.Size = (uint)Marshal.SizeOf(typeof(ReaderStatsNative));
                Check(NativeMethods.tqrf_reader_get_stats(Handle("Stats"), ref native), "Stats");
                return new ReaderStats(native.Requests, native.Retries, native.Recoveries,
                                       native.Failures);
            }
        }

        /// <summary>Sets the line rate with no parity, until the next command.</summary>
        public void SetBaud(uint rate)
        {
            Check(NativeMethods.tqrf_reader_set_baud(Handle("SetBaud"), rate), "SetBaud");
        }

        /// <summary>The OS error code of the reader's last failed system call, or 0.</summary>
        public int OsError
        {
            get { return NativeMethods.tqrf_reader_os_error(Handle("OsError")); }
        }

        /// <summary>
        /// An action called with every trace event (address byte, request frame, reply,
        /// result), on the calling thread inside the exchange; null removes it. It must not
        /// call this reader (that throws InvalidOperationException); its exceptions are
        /// caught and kept in LastTraceError. A trace shows the keys LoadKey sends.
        /// </summary>
        public Action<TraceEvent> Trace
        {
            get { return trace; }
            set {
                TraceCallback newHook = value == null ? null : MakeHook(value);
                Check(NativeMethods.tqrf_reader_set_trace(Handle("Trace"), newHook, IntPtr.Zero), "Trace");
                // The library took the reader's lock to swap the hooks: the old one is unused now.
                trace = value;
                hook = newHook;
            }
        }

        private TraceCallback MakeHook(Action<TraceEvent> action)
        {
            return delegate(IntPtr user, int traceEvent, int result, IntPtr bytes, uint count,
                            ulong timeUs) {
                byte[] data = new byte[count];
                if (count > 0 && bytes != IntPtr.Zero) Marshal.Copy(bytes, data, 0, (int)count);
                int outer = traceThread;
                traceThread = Thread.CurrentThread.ManagedThreadId;
                try {
                    action(new TraceEvent((TraceKind)traceEvent, result, data, timeUs));
                } catch (Exception e) {
                    LastTraceError = e;  // an exception must never unwind into the library
                } finally {
                    traceThread = outer;
                }
            };
        }

        // ---- card selection -------------------------------------------------------------

        /// <summary>Asks the cards in the field to answer; returns the card type (2 bytes).</summary>
        public byte[] Request(RequestMode mode = RequestMode.Idle)
        {
            byte[] type = new byte[2];
            Check(NativeMethods.tqrf_reader_request(Handle("Request"), (int)mode, type), "Request");
            return type;
        }

        /// <summary>Singles out one card; returns its serial number (4 bytes).</summary>
        public byte[] Anticoll(int arg = 0)
        {
            byte[] serial = new byte[4];
            Check(NativeMethods.tqrf_reader_anticoll(Handle("Anticoll"), arg, serial), "Anticoll");
            return serial;
        }

        /// <summary>Selects the card with this serial number; returns its size byte.</summary>
        public byte Select(byte[] serial)
        {
            byte size;
            Sized(serial, 4, "serial", "Select");
            Check(NativeMethods.tqrf_reader_select(Handle("Select"), serial, out size), "Select");
            return size;
        }

        /// <summary>Finds and selects a card in one exchange.</summary>
        public Card Find(RequestMode mode = RequestMode.Idle)
        {
            byte[] type = new byte[2], serial = new byte[4];
            byte size;
            Check(NativeMethods.tqrf_reader_find(Handle("Find"), (int)mode, type, serial, out size), "Find");
            return new Card(type, serial, size);
        }

        /// <summary>Halts the selected card.</summary>
        public void Halt()
        {
            Check(NativeMethods.tqrf_reader_halt(Handle("Halt")), "Halt");
        }

        // ---- keys and authentication ----------------------------------------------------

        /// <summary>Loads a 6-byte key for a key type and sector (0 to 15).</summary>
        public void LoadKey(KeyType keyType, int sector, byte[] key)
        {
            Sized(key, 6, "a key", "LoadKey");
            Check(NativeMethods.tqrf_reader_loadkey(Handle("LoadKey"), (int)keyType, sector, key), "LoadKey");
        }

        /// <summary>Authenticates a sector with the loaded key. A failure drops the card:
        /// find it again.</summary>
        public void Authenticate(KeyType keyType, int sector)
        {
            Check(NativeMethods.tqrf_reader_authenticate(Handle("Authenticate"), (int)keyType, sector),
                  "Authenticate");
        }

        /// <summary>LoadKey, then Authenticate.</summary>
        public void Login(int sector, byte[] key, KeyType keyType = KeyType.A)
        {
            LoadKey(keyType, sector, key);
            Authenticate(keyType, sector);
        }

        // ---- blocks and values ----------------------------------------------------------

        /// <summary>Reads a block (0 to 63): 16 bytes.</summary>
        public byte[] Read(int block)
        {
            byte[] data = new byte[16];
            Check(NativeMethods.tqrf_reader_read(Handle("Read"), block, data), "Read");
            return data;
        }

        /// <summary>Writes 16 bytes into a block (0 to 63); block 0 and trailers included.</summary>
        public void Write(int block, byte[] data)
        {
            Sized(data, 16, "a block", "Write");
            Check(NativeMethods.tqrf_reader_write(Handle("Write"), block, data), "Write");
        }

        /// <summary>Makes a block a value block holding a signed 32-bit value.</summary>
        public void InitVal(int block, int value)
        {
            Check(NativeMethods.tqrf_reader_initval(Handle("InitVal"), block, unchecked((uint)value)),
                  "InitVal");
        }

        /// <summary>Makes a block a value block holding the 32 bits of an unsigned value.</summary>
        public void InitVal(int block, uint value)
        {
            Check(NativeMethods.tqrf_reader_initval(Handle("InitVal"), block, value), "InitVal");
        }

        /// <summary>Reads a value block: its value, a signed 32-bit number, as the tool, the
        /// C++ API and Python give it (-1 reads as -1).</summary>
        public int ReadVal(int block)
        {
            uint value;
            Check(NativeMethods.tqrf_reader_readval(Handle("ReadVal"), block, out value), "ReadVal");
            return unchecked((int)value);
        }

        /// <summary>Adds to a value block into the transfer buffer (then Transfer).</summary>
        public void Increment(int block, uint amount)
        {
            Check(NativeMethods.tqrf_reader_increment(Handle("Increment"), block, amount), "Increment");
        }

        /// <summary>Subtracts from a value block into the transfer buffer (then Transfer).</summary>
        public void Decrement(int block, uint amount)
        {
            Check(NativeMethods.tqrf_reader_decrement(Handle("Decrement"), block, amount), "Decrement");
        }

        /// <summary>
        /// Changes a value block by delta and writes it back into the same block, exactly once
        /// (read, increment or decrement, transfer); a lost reply is settled by reading the
        /// value back. Returns the value after; before gets the value before. Throws
        /// NotAppliedException when it was not done after the last attempt (calling again is
        /// safe), ValueConflictException when the value read back is neither, ReplyException
        /// when a lost reply could not be settled (not known whether done).
        /// </summary>
        public int ApplyValue(int block, int delta, out int before)
        {
            uint was, now;
            was = now = 0;
            int rc = NativeMethods.tqrf_reader_value_apply(Handle("ApplyValue"), block, delta,
                                                           out was, out now);
            if (rc == ResultCode.ValueConflict)
                throw new ValueConflictException("ApplyValue", NativeMethods.StrError(rc), block,
                                                 unchecked((int)was), unchecked((int)now),
                                                 unchecked((int)was + delta));
            Check(rc, "ApplyValue");
            before = unchecked((int)was);
            return unchecked((int)now);
        }

        /// <summary>Adds amount (0 to 2147483647) to a value block, exactly once
        /// (ApplyValue); returns the new balance.</summary>
        public int Credit(int block, int amount)
        {
            if (amount < 0) throw new BadArgumentException("Credit", "amount must be 0 or more");
            int before;
            return ApplyValue(block, amount, out before);
        }

        /// <summary>Subtracts amount (0 to 2147483647) from a value block, exactly once
        /// (ApplyValue); returns the new balance.</summary>
        public int Debit(int block, int amount)
        {
            if (amount < 0) throw new BadArgumentException("Debit", "amount must be 0 or more");
            int before;
            return ApplyValue(block, -amount, out before);
        }

        public void Restore(int block)
        {
            Check(NativeMethods.tqrf_reader_restore(Handle("Restore"), block), "Restore");
        }

        public void Transfer(int block)
        {
            Check(NativeMethods.tqrf_reader_transfer(Handle("Transfer"), block), "Transfer");
        }

        // ---- the reader device ----------------------------------------------------------

        public void Reset()
        {
            Check(NativeMethods.tqrf_reader_reset(Handle("Reset")), "Reset");
        }

        /// <summary>The hardware version, as the bytes the reader sends.</summary>
        public byte[] HardwareVersion()
        {
            return ReadVariable("HardwareVersion", NativeMethods.tqrf_reader_hardware_version);
        }

        public uint Id()
        {
            uint id;
            Check(NativeMethods.tqrf_reader_id(Handle("Id"), out id), "Id");
            return id;
        }

        /// <summary>Reads the RC500 E2PROM from an address (0 to 255).</summary>
        public byte[] E2Read(int address)
        {
            return ReadVariable("E2Read", (ReaderHandle r, byte[] output, uint capacity, out uint length) =>
                                              NativeMethods.tqrf_reader_e2_read(r, address, output, capacity,
                                                                                out length));
        }

        /// <summary>Writes 16 bytes to the RC500 E2PROM (address 0 to 127). It holds the
        /// chip's configuration: a wrong write can make the reader unusable.</summary>
        public void E2Write(int address, byte[] data)
        {
            Sized(data, 16, "E2PROM data", "E2Write");
            Check(NativeMethods.tqrf_reader_e2_write(Handle("E2Write"), address, data), "E2Write");
        }

        public void LinkTest()
        {
            Check(NativeMethods.tqrf_reader_link_test(Handle("LinkTest")), "LinkTest");
        }

        /// <summary>Beeps for duration x 10 ms (0 to 240); mode 0 returns when it is over.</summary>
        public void Beep(int mode, int duration)
        {
            Check(NativeMethods.tqrf_reader_beep(Handle("Beep"), mode, duration), "Beep");
        }

        /// <summary>The reader's clock bytes, as it sends them.</summary>
        public byte[] ClockRead()
        {
            return ReadVariable("ClockRead", NativeMethods.tqrf_reader_clock_read);
        }

        /// <summary>Sets the reader's clock from 7 bytes, sent unchanged.</summary>
        public void ClockSet(byte[] clock)
        {
            Sized(clock, 7, "the clock", "ClockSet");
            Check(NativeMethods.tqrf_reader_clock_set(Handle("ClockSet"), clock), "ClockSet");
        }
    }
}

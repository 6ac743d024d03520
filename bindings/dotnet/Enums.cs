// Enums.cs - the values the library's arguments and results take, as enums.

namespace TqRwdDll
{
    /// <summary>Which cards a request wakes.</summary>
    public enum RequestMode
    {
        /// <summary>Idle cards only (REQA).</summary>
        Idle = 0,
        /// <summary>All cards, halted ones too (WUPA).</summary>
        All = 1,
    }

    /// <summary>Which of a sector's keys a load or an authentication uses.</summary>
    public enum KeyType
    {
        A = 0,
        B = 1,
    }

    /// <summary>How a reader takes its replies.</summary>
    public enum ReplyMode
    {
        /// <summary>Pause the command's fixed time, then read once (as the legacy exports).</summary>
        Fixed = 0,
        /// <summary>Return as soon as the reply frame is complete (the default for readers).</summary>
        Complete = 1,
    }

    /// <summary>Options of tqrf_reader_set_option / tqrf_reader_get_option.</summary>
    public enum ReaderOption
    {
        ReplyMode = 1,
        /// <summary>Extra reply deadline in complete mode, 0 to 1000 ms.</summary>
        ReplySlackMs = 2,
        /// <summary>Attempts in all after a lost reply, where a repeat is safe, 1 to 10.</summary>
        Attempts = 3,
    }

    /// <summary>What a trace event shows.</summary>
    public enum TraceKind
    {
        /// <summary>The address byte, sent with mark parity.</summary>
        Address = 1,
        /// <summary>The request frame, sent with space parity.</summary>
        Frame = 2,
        /// <summary>The bytes taken as the reply, also when they fail the checks.</summary>
        Reply = 3,
        /// <summary>The end of a call; Result holds its result.</summary>
        Result = 4,
        /// <summary>A lost reply dealt with: Data is the command code, the attempt about to be
        /// made and what was done (RetryAction); Result the failure it followed.</summary>
        Retry = 5,
    }

    /// <summary>What was done after a lost reply (byte 2 of a TraceKind.Retry event).</summary>
    public enum RetryAction
    {
        /// <summary>The command was sent again after the line was purged.</summary>
        Repeated = 1,
        /// <summary>The authentication was sent again after the card was selected again.</summary>
        Reselected = 2,
        /// <summary>The write was sent again: reading back showed it not there.</summary>
        NotThere = 3,
        /// <summary>Not repeated: reading back showed it done.</summary>
        Settled = 4,
        /// <summary>The value change was made again: the value read back was unchanged.</summary>
        Unchanged = 5,
    }

    /// <summary>How a serial port is attached (PortInfo.Transport).</summary>
    public enum Transport
    {
        /// <summary>A UART of the computer itself.</summary>
        Builtin = 0,
        /// <summary>A USB-serial adapter or a USB device with a serial interface.</summary>
        Usb = 1,
        /// <summary>A Bluetooth serial link.</summary>
        Bluetooth = 2,
        Other = 3,
    }

    /// <summary>Whether a port's driver is known to carry mark and space parity, which the
    /// reader needs to see its address byte.</summary>
    public enum MarkSpace
    {
        /// <summary>The driver drops it: the reader will not answer through this adapter.</summary>
        No = 0,
        Yes = 1,
        Unknown = -1,
    }

    /// <summary>What Ports.Probe found on a port.</summary>
    public enum ProbeOutcome
    {
        /// <summary>A reader answered the link test.</summary>
        Reader = 0,
        /// <summary>What was sent came back: a loopback plug, or crossed lines.</summary>
        Echo = 1,
        /// <summary>Bytes that are no reply frame: another device, or a wrong line rate.</summary>
        Noise = 2,
        /// <summary>Nothing came back: no reader, or one without power.</summary>
        Silent = 3,
        Missing = 4,
        NoPermission = 5,
        /// <summary>Another program holds the port.</summary>
        Busy = 6,
        NotSerial = 7,
        /// <summary>It did not open for another reason: see OsError.</summary>
        OpenFailed = 8,
        /// <summary>The adapter's driver dropped mark and space parity: use another adapter.</summary>
        NoMarkSpace = 9,
    }

    /// <summary>What a reader's last exchange heard back (Reader.LastAnswer).</summary>
    public enum Answer
    {
        /// <summary>No exchange yet, or nothing was sent.</summary>
        None = 0,
        Frame = 1,
        /// <summary>Nothing came back.</summary>
        Silence = 2,
        /// <summary>What was sent came back unchanged: a loopback plug or crossed lines.</summary>
        Echo = 3,
        /// <summary>Bytes that are no reply frame.</summary>
        Noise = 4,
    }
}

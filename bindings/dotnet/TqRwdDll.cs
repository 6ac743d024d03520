// TqRwdDll.cs - the tq_RWD_DLL card reader library from .NET (C#, VB.NET, F#).
//
// One source file: add it to a project (.NET Framework 4.x, .NET 6 or later, Mono) and put
// tq_RWD_DLL.dll (Windows, matching the process: x86 or x64) next to the program or on
// PATH. On Linux the runtime package's libtq_RWD_DLL.so.1 is found through the ldconfig cache:
// Mono through the map in TqRwdDll.dll.config (shipped beside the compiled assembly), .NET 5
// and later through the resolver below.
//
//   NativeMethods  every export of the library as it is: the 34 legacy functions on the
//                  built-in default reader, and the reader handle API (tqrf_reader_*).
//   Reader         an open reader over the handle API: methods that return data and throw
//                  a TqrfException subclass on failure. Dispose() closes it.
//
// Every declaration uses CallingConvention.Cdecl: the library's exports are __cdecl, and the
// StdCall default of DllImport on 32-bit Windows would unbalance the stack. Buffers are byte[]
// of the sizes the header documents; the library reads and writes exactly those sizes, so a
// shorter array is memory corruption: the Reader class checks every length, callers of
// NativeMethods must do it themselves.
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Microsoft.Win32.SafeHandles;

namespace TqRwdDll
{
    /// <summary>The library's result codes (TQRF_OK, TQRF_ERR_*: the names of the C header
    /// without the prefix). 0 to 255 is the reader's status byte.</summary>
    public static class ResultCode
    {
        public const int Ok = 0;
        /// <summary>A line-setting call failed or an argument was refused (legacy exports).</summary>
        public const int Failed = -1;
        /// <summary>tqrf_authentication_2 only: the block is not the sector's trailer.</summary>
        public const int NotSectorTrailer = 1;
        public const int PortInUse = -80;
        public const int PortOpenFailed = -81;
        public const int PortNotOpen = -82;
        public const int SendFailed = -83;
        public const int ReplyChecksum = -85;
        public const int ReplyFrame = -86;
        /// <summary>Handle API only: a status-0 reply without the command's data bytes.</summary>
        public const int ReplyLength = -87;
        /// <summary>Handle API only: the device is gone; the reader stays unusable.</summary>
        public const int DeviceLost = -88;
        /// <summary>Handle API only: an argument was refused; nothing was sent.</summary>
        public const int BadArgument = -89;
        /// <summary>Handle API only: a variable-length reply did not fit the buffer.</summary>
        public const int BufferTooSmall = -90;
        /// <summary>The serial adapter cannot send mark or space parity.</summary>
        public const int ParityUnsupported = -91;

        /// <summary>The most data bytes a reply carries (TQRF_REPLY_DATA_MAX): the size of the
        /// buffers of tqrf_ReadHardwareVersionNumber, tqrf_Read_RC500E2 and
        /// tqrf_UploadRTC.</summary>
        public const int ReplyDataMax = 101;
    }

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

    /// <summary>struct tqrf_port_info, as tqrf_list_ports lays it out. Strings are UTF-8.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct PortInfoNative
    {
        public IntPtr Device;
        public IntPtr StablePath;
        public IntPtr Description;
        public int Transport;
        public int UsbVendorId;
        public int UsbProductId;
        public IntPtr SerialNumber;
        public IntPtr Manufacturer;
        public IntPtr Product;
        public IntPtr Driver;
        public int MarkSpace;
    }

    /// <summary>struct tqrf_probe_result.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct ProbeResultNative
    {
        public int Outcome;
        public int OsError;
        public uint RoundTripUs;
        public uint Received;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 105)]
        public byte[] Bytes;
        public uint VersionLength;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = ResultCode.ReplyDataMax)]
        public byte[] Version;
        public uint ReaderId;
    }

    /// <summary>struct tqrf_port_info2, as tqrf_list_ports2 lays it out: the growable entry.
    /// Strings are UTF-8.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct PortInfo2Native
    {
        public uint Size;
        public int Transport;
        public IntPtr Device;
        public IntPtr StablePath;
        public IntPtr Description;
        public int UsbVendorId;
        public int UsbProductId;
        public IntPtr SerialNumber;
        public IntPtr Manufacturer;
        public IntPtr Product;
        public IntPtr Driver;
        public int MarkSpace;
    }

    /// <summary>struct tqrf_probe_result2: the growable result; Size is set before the
    /// call.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct ProbeResult2Native
    {
        public uint Size;
        public int Outcome;
        public int OsError;
        public uint RoundTripUs;
        public uint Received;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 105)]
        public byte[] Bytes;
        public uint VersionLength;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = ResultCode.ReplyDataMax)]
        public byte[] Version;
        public uint ReaderId;
    }

    /// <summary>
    /// The C trace hook. Called on the calling thread inside the exchange, with the reader's
    /// lock held: it must not call the same reader. <paramref name="bytes"/> is valid only
    /// during the call. Keep the delegate referenced for as long as it is set.
    /// </summary>
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void TraceCallback(IntPtr user, int traceEvent, int result, IntPtr bytes,
                                       uint count, ulong timeUs);

    /// <summary>An open reader of the handle API; released with tqrf_reader_close.</summary>
    public sealed class ReaderHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        public ReaderHandle() : base(true) { }

        protected override bool ReleaseHandle()
        {
            return NativeMethods.tqrf_reader_close(handle) == 0;
        }
    }

#if NET5_0_OR_GREATER
    /// <summary>
    /// .NET 5 and later: "tq_RWD_DLL" is looked for as libtq_RWD_DLL.so.1 on Linux (the
    /// runtime package has no libtq_RWD_DLL.so), then by the runtime's own search.
    /// </summary>
    internal static class LibraryResolver
    {
        [System.Runtime.CompilerServices.ModuleInitializer]
        internal static void Register()
        {
            NativeLibrary.SetDllImportResolver(typeof(LibraryResolver).Assembly, Resolve);
        }

        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? path)
        {
            if (name == NativeMethods.Library && OperatingSystem.IsLinux() &&
                NativeLibrary.TryLoad("libtq_RWD_DLL.so.1", assembly, path, out IntPtr handle))
                return handle;
            return IntPtr.Zero;
        }
    }
#endif

    /// <summary>
    /// The library's exports, declared as include/tq_RWD_DLL.h documents them. Results are
    /// the reader's status byte (0 = done) or a negative ResultCode.
    /// </summary>
    public static class NativeMethods
    {
        /// <summary>tq_RWD_DLL.dll on Windows, libtq_RWD_DLL.so.1 on Linux (see TqRwdDll.dll.config
        /// and LibraryResolver).</summary>
        public const string Library = "tq_RWD_DLL";

        private const CallingConvention Cdecl = CallingConvention.Cdecl;

        // ---- Legacy exports: the built-in default reader --------------------------------

        /// <summary>
        /// Opens "COMn". The name is shortened IN PLACE (its first three characters removed),
        /// so it is a writable, NUL-terminated byte buffer: use PortNameBuffer("COM3").
        /// </summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_init([In, Out] byte[] portName);

        /// <summary>Opens a device path as given ("/dev/ttyUSB0", "\\.\COM12").</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_init_device([MarshalAs(UnmanagedType.LPStr)] string devicePath);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_exit();

        /// <summary>rate: decimal text such as "9600".</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_BaudSetup([MarshalAs(UnmanagedType.LPStr)] string rate);

        /// <summary>cardType: 2 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_request(int mode, [In, Out] byte[] cardType);

        /// <summary>cardType: 2 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_request_2(int mode, [In, Out] byte[] cardType);

        /// <summary>serial: 4 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_anticoll(int arg, [In, Out] byte[] serial);

        /// <summary>serial: 4 bytes in; size: the size byte out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_select([In] byte[] serial, ref byte size);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_halt();

        /// <summary>key: 6 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_loadkey(int keyType, int sector, [In] byte[] key);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_authentication(int keyType, int sector);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_authentication_2(int keyType, int sector, int block);

        /// <summary>data: 16 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_read(int block, [In, Out] byte[] data);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_write(int block, [In] byte[] data);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_initval(int block, uint value);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_readval(int block, ref uint value);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_increment(int block, uint amount);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_decrement(int block, uint amount);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_restore(int block);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_transfer(int block);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reset(int reserved);

        /// <summary>version: ResultCode.ReplyDataMax bytes out (every data byte of the reply, no
        /// terminator).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_ReadHardwareVersionNumber([In, Out] byte[] version);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_Read_RWD_ID(ref uint id);

        /// <summary>data: ResultCode.ReplyDataMax bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_Read_RC500E2(int address, [In, Out] byte[] data);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_Write_RC500E2(int address, [In] byte[] data);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_Link_PCandRWD();

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_BeepControl(int mode, int duration);

        /// <summary>clock: ResultCode.ReplyDataMax bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_UploadRTC([In, Out] byte[] clock);

        /// <summary>clock: 7 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_DownloadRTC([In] byte[] clock);

        /// <summary>keyText: 12 hex characters in (AsciiBuffer("FFFFFFFFFFFF")).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_loadkey_asc(int keyType, int sector, [In] byte[] keyText);

        /// <summary>typeText 4, serialText 8, sizeText 2 characters out, no terminator.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_card_asc_1(int mode, int arg, [In, Out] byte[] typeText,
                                                 [In, Out] byte[] serialText,
                                                 [In, Out] byte[] sizeText);

        /// <summary>typeText 4, serialText 8, sizeText 2 characters out, no terminator.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_card_asc(int mode, int reserved, [In, Out] byte[] typeText,
                                               [In, Out] byte[] serialText,
                                               [In, Out] byte[] sizeText);

        /// <summary>blockText: 32 characters out, no terminator.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_rd_asc(int block, [In, Out] byte[] blockText);

        /// <summary>blockText: 32 hex characters in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_wr_asc(int block, [In] byte[] blockText);

        // ---- Reader handles -------------------------------------------------------------

        /// <summary>port: "COMn" or a device path, never modified.</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_reader_open([MarshalAs(UnmanagedType.LPStr)] string port,
                                                  out ReaderHandle reader);

        /// <summary>Called by ReaderHandle; dispose the handle instead.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_close(IntPtr reader);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_set_baud(ReaderHandle r, uint rate);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_set_option(ReaderHandle r, int option, int value);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_get_option(ReaderHandle r, int option, out int value);

        /// <summary>fn: null removes the hook. The delegate must stay referenced while set.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_set_trace(ReaderHandle r, TraceCallback fn, IntPtr user);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_os_error(ReaderHandle r);

        /// <summary>tqrf_reader_os_error(NULL): the error of this thread's last failed open.</summary>
        [DllImport(Library, CallingConvention = Cdecl, EntryPoint = "tqrf_reader_os_error")]
        public static extern int tqrf_reader_os_error_of_open(IntPtr none);

        /// <summary>
        /// Static text: returned as IntPtr because a string result would be freed by the
        /// marshaller. Use StrError(code).
        /// </summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern IntPtr tqrf_strerror(int result);

        /// <summary>The library's version text (static). Builds without it throw
        /// EntryPointNotFoundException: use LibraryVersion().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern IntPtr tqrf_version();

        /// <summary>type: 2 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_request(ReaderHandle r, int mode, [Out] byte[] type);

        /// <summary>serial: 4 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_anticoll(ReaderHandle r, int arg, [Out] byte[] serial);

        /// <summary>serial: 4 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_select(ReaderHandle r, [In] byte[] serial, out byte size);

        /// <summary>type: 2 bytes out; serial: 4 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_find(ReaderHandle r, int mode, [Out] byte[] type,
                                                  [Out] byte[] serial, out byte size);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_halt(ReaderHandle r);

        /// <summary>key: 6 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_loadkey(ReaderHandle r, int keyType, int sector,
                                                     [In] byte[] key);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_authenticate(ReaderHandle r, int keyType, int sector);

        /// <summary>data: 16 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_read(ReaderHandle r, int block, [Out] byte[] data);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_write(ReaderHandle r, int block, [In] byte[] data);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_initval(ReaderHandle r, int block, uint value);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_readval(ReaderHandle r, int block, out uint value);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_increment(ReaderHandle r, int block, uint amount);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_decrement(ReaderHandle r, int block, uint amount);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_restore(ReaderHandle r, int block);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_transfer(ReaderHandle r, int block);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_reset(ReaderHandle r);

        /// <summary>output: capacity bytes out; length: the reply's length (also on -90).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_hardware_version(ReaderHandle r, [Out] byte[] output,
                                                              uint capacity, out uint length);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_id(ReaderHandle r, out uint id);

        /// <summary>output: capacity bytes out; length: the reply's length (also on -90).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_e2_read(ReaderHandle r, int address, [Out] byte[] output,
                                                     uint capacity, out uint length);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_e2_write(ReaderHandle r, int address, [In] byte[] data);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_link_test(ReaderHandle r);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_beep(ReaderHandle r, int mode, int duration);

        /// <summary>output: capacity bytes out; length: the reply's length (also on -90).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_clock_read(ReaderHandle r, [Out] byte[] output,
                                                        uint capacity, out uint length);

        /// <summary>clock: 7 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_clock_set(ReaderHandle r, [In] byte[] clock);

        /// <summary>What the reader's last exchange heard back: an Answer value.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_last_answer(ReaderHandle r);

        // ---- Finding the reader ---------------------------------------------------------

        /// <summary>ports: one allocation of count PortInfoNative entries (IntPtr.Zero when
        /// count is 0), freed with tqrf_free_ports. Use Ports.List().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_list_ports(out IntPtr ports, out uint count);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void tqrf_free_ports(IntPtr ports);

        /// <summary>deadlineMs: 40 to 1040, 0 for 100. Use Ports.Probe().</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_probe([MarshalAs(UnmanagedType.LPStr)] string port,
                                            uint deadlineMs, out ProbeResultNative result);

        /// <summary>The growable list: entries entrySize bytes apart (pass
        /// Marshal.SizeOf(typeof(PortInfo2Native))), freed with tqrf_free_ports2. Use
        /// Ports.List().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_list_ports2(uint entrySize, out IntPtr ports, out uint count);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void tqrf_free_ports2(IntPtr ports);

        /// <summary>The growable probe: result.Size set to
        /// Marshal.SizeOf(typeof(ProbeResult2Native)) before the call. Use Ports.Probe().</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_probe2([MarshalAs(UnmanagedType.LPStr)] string port,
                                             uint deadlineMs, ref ProbeResult2Native result);

        /// <summary>The device "COMn" opens, NUL-terminated into path. Use
        /// Ports.ComPortPath().</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_com_port_path([MarshalAs(UnmanagedType.LPStr)] string name,
                                                    [Out] byte[] path, uint capacity);

        // ---- Helpers --------------------------------------------------------------------

        /// <summary>A writable, NUL-terminated buffer holding a port name for tqrf_init.</summary>
        public static byte[] PortNameBuffer(string name)
        {
            byte[] text = Encoding.ASCII.GetBytes(name);
            byte[] buffer = new byte[text.Length + 1];
            Array.Copy(text, buffer, text.Length);
            return buffer;
        }

        /// <summary>ASCII bytes of a text argument, without a terminator (key and block text).</summary>
        public static byte[] AsciiBuffer(string text)
        {
            return Encoding.ASCII.GetBytes(text);
        }

        /// <summary>The text before the first NUL of a buffer (for example tqrf_init's name).</summary>
        public static string TextOf(byte[] buffer)
        {
            int end = Array.IndexOf(buffer, (byte)0);
            return Encoding.ASCII.GetString(buffer, 0, end < 0 ? buffer.Length : end);
        }

        /// <summary>The library's short text for a result code.</summary>
        public static string StrError(int result)
        {
            IntPtr text = tqrf_strerror(result);
            return text == IntPtr.Zero ? "result " + result : Marshal.PtrToStringAnsi(text);
        }

        /// <summary>The library's version text, or null for a build that does not tell.</summary>
        public static string LibraryVersion()
        {
            try {
                IntPtr text = tqrf_version();
                return text == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(text);
            } catch (EntryPointNotFoundException) {
                return null;
            }
        }
    }

    // ---- Exceptions ---------------------------------------------------------------------

    /// <summary>Base of every failure the library reports.</summary>
    public class TqrfException : Exception
    {
        /// <summary>The result code: negative, or the reader's status byte 1 to 255.</summary>
        public int Code { get; private set; }
        /// <summary>The Reader operation that failed ("Read", "Authenticate", ...).</summary>
        public string Operation { get; private set; }
        /// <summary>The operating system's error code (errno, GetLastError()), or 0.</summary>
        public int OsError { get; private set; }

        public TqrfException(int code, string operation, string message, int osError)
            : base(operation + ": " + message)
        {
            Code = code;
            Operation = operation;
            OsError = osError;
        }

        /// <summary>The exception for a non-zero result.</summary>
        public static TqrfException For(int code, string operation, int osError)
        {
            return For(code, operation, osError, Answer.None);
        }

        /// <summary>The exception for a non-zero result; a reply error says what came back.</summary>
        public static TqrfException For(int code, string operation, int osError, Answer answer)
        {
            string text = NativeMethods.StrError(code);
            if (code > 0 && code <= 255) return new ReaderStatusException(code, operation, text);
            switch (code) {
                case ResultCode.ReplyChecksum:
                case ResultCode.ReplyFrame:
                case ResultCode.ReplyLength:
                    return new ReplyException(code, operation, text + " (" + code + ")", answer);
                case ResultCode.DeviceLost:
                    return new DeviceLostException(code, operation, text + " (" + code + ")",
                                                   osError);
                case ResultCode.BadArgument:
                    return new BadArgumentException(operation, text + " (" + code + ")", code);
                case ResultCode.Failed:
                case ResultCode.PortInUse:
                case ResultCode.PortOpenFailed:
                case ResultCode.PortNotOpen:
                case ResultCode.SendFailed:
                case ResultCode.ParityUnsupported:
                    return new PortException(code, operation, text + " (" + code + ")", osError);
                default:
                    return new TqrfException(code, operation, text + " (" + code + ")", osError);
            }
        }
    }

    /// <summary>The reader answered a non-zero status byte (its meaning is the reader's).</summary>
    public class ReaderStatusException : TqrfException
    {
        public int Status { get { return Code; } }
        public string Text { get; private set; }

        public ReaderStatusException(int status, string operation, string text)
            : base(status, operation, StatusMessage(status, text), 0)
        {
            Text = text;
        }

        private static string StatusMessage(int status, string text)
        {
            string hex = "0x" + status.ToString("X2");
            return text.Contains(hex) ? text : "reader status " + hex + ": " + text;
        }
    }

    /// <summary>No reply, or a malformed one (-85, -86, -87). The command may have run.</summary>
    public class ReplyException : TqrfException
    {
        /// <summary>What came back: silence, an echo of the request, bytes that are no frame,
        /// or a frame whose content was refused. The message says it in words.</summary>
        public Answer Answer { get; private set; }

        public ReplyException(int code, string operation, string message)
            : this(code, operation, message, Answer.None) { }

        public ReplyException(int code, string operation, string message, Answer answer)
            : base(code, operation, message + Heard(answer), 0)
        {
            Answer = answer;
        }

        /// <summary>What a failed exchange heard back, in words ("" for a frame or none).</summary>
        public static string Heard(Answer answer)
        {
            switch (answer) {
                case Answer.Silence:
                    return ": nothing came back: check the reader's power, the cable and the line rate";
                case Answer.Echo:
                    return ": the line echoes what is sent (a loopback plug, or crossed lines?): " +
                           "no reader answered";
                case Answer.Noise:
                    return ": bytes came back that are no reply frame: another device, or a wrong " +
                           "line rate?";
                default:
                    return "";
            }
        }
    }

    /// <summary>The device is gone (-88); OsError says how. Dispose the reader.</summary>
    public class DeviceLostException : TqrfException
    {
        public DeviceLostException(int code, string operation, string message, int osError)
            : base(code, operation, message, osError) { }
    }

    /// <summary>The port did not open (-81; OsError says why), the line settings were refused
    /// (-1), or a request was not written (-83).</summary>
    public class PortException : TqrfException
    {
        public PortException(int code, string operation, string message, int osError)
            : base(code, operation, message, osError) { }
    }

    /// <summary>An argument was refused, by the library (-89) or by this class (a buffer of
    /// the wrong size); nothing was sent.</summary>
    public class BadArgumentException : TqrfException
    {
        public BadArgumentException(string operation, string message,
                                    int code = ResultCode.BadArgument)
            : base(code, operation, message, 0) { }
    }

    // ---- Results ------------------------------------------------------------------------

    /// <summary>A card found by Reader.Find().</summary>
    public sealed class Card
    {
        /// <summary>Card type, 2 bytes (04 00 for a Mifare Classic 1K).</summary>
        public byte[] Type { get; private set; }
        /// <summary>Serial number (UID), 4 bytes in arrival order.</summary>
        public byte[] Serial { get; private set; }
        /// <summary>Size byte of the select answer (SAK).</summary>
        public byte Size { get; private set; }
        /// <summary>The serial number as 8 upper-case hex digits.</summary>
        public string Uid { get { return BitConverter.ToString(Serial).Replace("-", ""); } }

        public Card(byte[] type, byte[] serial, byte size)
        {
            Type = type;
            Serial = serial;
            Size = size;
        }
    }

    /// <summary>One event of a reader's trace.</summary>
    public sealed class TraceEvent
    {
        public TraceKind Kind { get; private set; }
        /// <summary>The call's result for TraceKind.Result, else 0.</summary>
        public int Result { get; private set; }
        /// <summary>The event's bytes (empty for a result).</summary>
        public byte[] Data { get; private set; }
        /// <summary>Monotonic microseconds, the same origin for every reader.</summary>
        public ulong TimeUs { get; private set; }

        public TraceEvent(TraceKind kind, int result, byte[] data, ulong timeUs)
        {
            Kind = kind;
            Result = result;
            Data = data;
            TimeUs = timeUs;
        }
    }

    // ---- Reader -------------------------------------------------------------------------

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

        /// <summary>Opens a reader in ReplyMode.Complete with no extra slack.</summary>
        public Reader(string port) : this(port, ReplyMode.Complete, 0) { }

        /// <summary>
        /// Opens a reader. port: "COM3" (on Linux /dev/ttyS2) or a device path as given.
        /// Throws PortException (OsError says why) when the device does not open, and
        /// BadArgumentException for a reply mode or slack (0 to 1000 ms) the library refuses.
        /// </summary>
        public Reader(string port, ReplyMode replyMode, int slackMs)
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
            throw TqrfException.For(rc, operation, osError, answer);
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
            byte[] buffer = new byte[VariableCapacity];
            uint length;
            Check(NativeMethods.tqrf_reader_hardware_version(Handle("HardwareVersion"), buffer,
                                                             (uint)buffer.Length, out length),
                  "HardwareVersion");
            return Prefix(buffer, length);
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
            byte[] buffer = new byte[VariableCapacity];
            uint length;
            Check(NativeMethods.tqrf_reader_e2_read(Handle("E2Read"), address, buffer,
                                                    (uint)buffer.Length, out length),
                  "E2Read");
            return Prefix(buffer, length);
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
            byte[] buffer = new byte[VariableCapacity];
            uint length;
            Check(NativeMethods.tqrf_reader_clock_read(Handle("ClockRead"), buffer,
                                                       (uint)buffer.Length, out length),
                  "ClockRead");
            return Prefix(buffer, length);
        }

        /// <summary>Sets the reader's clock from 7 bytes, sent unchanged.</summary>
        public void ClockSet(byte[] clock)
        {
            Sized(clock, 7, "the clock", "ClockSet");
            Check(NativeMethods.tqrf_reader_clock_set(Handle("ClockSet"), clock), "ClockSet");
        }
    }

    // ---- Finding the reader -------------------------------------------------------------

    /// <summary>One serial port the system knows. Strings are "" when not known.</summary>
    public sealed class PortInfo
    {
        /// <summary>What to open: "/dev/ttyUSB0", "COM3".</summary>
        public string Device { get; internal set; }
        /// <summary>"/dev/serial/by-id/...", or "".</summary>
        public string StablePath { get; internal set; }
        public string Description { get; internal set; }
        public Transport Transport { get; internal set; }
        /// <summary>USB vendor and product id, or -1 when the port is not on USB.</summary>
        public int UsbVendorId { get; internal set; }
        public int UsbProductId { get; internal set; }
        public string SerialNumber { get; internal set; }
        public string Manufacturer { get; internal set; }
        public string Product { get; internal set; }
        /// <summary>The kernel driver ("ftdi_sio") or Windows driver service ("FTSER2K").</summary>
        public string Driver { get; internal set; }
        public MarkSpace MarkSpace { get; internal set; }
    }

    /// <summary>What Ports.Probe found.</summary>
    public sealed class ProbeResult
    {
        public string Port { get; internal set; }
        public ProbeOutcome Outcome { get; internal set; }
        /// <summary>Why the port did not open (errno, GetLastError()), else 0.</summary>
        public int OsError { get; internal set; }
        /// <summary>The link test's round trip when a reader answered, else 0.</summary>
        public uint RoundTripUs { get; internal set; }
        /// <summary>What came back for the link test.</summary>
        public byte[] Received { get; internal set; }
        /// <summary>Reader only: the hardware version's bytes (empty when not given).</summary>
        public byte[] Version { get; internal set; }
        /// <summary>Reader only: the identity number (0 when not given).</summary>
        public uint ReaderId { get; internal set; }
    }

    /// <summary>Listing the serial ports and finding out what answers on one.</summary>
    public static class Ports
    {
        /// <summary>The serial ports the system knows, in name order. Opens nothing.</summary>
        public static PortInfo[] List()
        {
            IntPtr list;
            uint count;
            int size = Marshal.SizeOf(typeof(PortInfo2Native));
            int rc = NativeMethods.tqrf_list_ports2((uint)size, out list, out count);
            if (rc != 0) throw TqrfException.For(rc, "ListPorts", 0);
            try {
                var ports = new PortInfo[count];
                for (int i = 0; i < count; i++) {
                    var p = (PortInfo2Native)Marshal.PtrToStructure(new IntPtr(list.ToInt64() + (long)i * size),
                                                                    typeof(PortInfo2Native));
                    ports[i] = new PortInfo {
                        Device = Utf8(p.Device),
                        StablePath = Utf8(p.StablePath),
                        Description = Utf8(p.Description),
                        Transport = (Transport)p.Transport,
                        UsbVendorId = p.UsbVendorId,
                        UsbProductId = p.UsbProductId,
                        SerialNumber = Utf8(p.SerialNumber),
                        Manufacturer = Utf8(p.Manufacturer),
                        Product = Utf8(p.Product),
                        Driver = Utf8(p.Driver),
                        MarkSpace = (MarkSpace)p.MarkSpace,
                    };
                }
                return ports;
            } finally {
                NativeMethods.tqrf_free_ports2(list);
            }
        }

        /// <summary>
        /// Opens the port exclusively, sends one link test and says what answered; only a
        /// reader that answered is asked its version and identity. A port that does not open
        /// is an outcome (Missing, Busy, ...), not an exception. deadlineMs: 40 to 1040, 0 for
        /// the default 100 ms.
        /// </summary>
        public static ProbeResult Probe(string port, uint deadlineMs = 0)
        {
            if (string.IsNullOrEmpty(port) || port.IndexOf('\0') >= 0)
                throw new BadArgumentException("Probe", "not a port name");
            var r = new ProbeResult2Native {
                Size = (uint)Marshal.SizeOf(typeof(ProbeResult2Native)),
                Bytes = new byte[105],
                Version = new byte[ResultCode.ReplyDataMax],
            };
            int rc = NativeMethods.tqrf_probe2(port, deadlineMs, ref r);
            if (rc != 0) throw TqrfException.For(rc, "Probe " + port, 0);
            var received = new byte[Math.Min(r.Received, (uint)r.Bytes.Length)];
            Array.Copy(r.Bytes, received, received.Length);
            var version = new byte[Math.Min(r.VersionLength, (uint)r.Version.Length)];
            Array.Copy(r.Version, version, version.Length);
            return new ProbeResult {
                Port = port,
                Outcome = (ProbeOutcome)r.Outcome,
                OsError = r.OsError,
                RoundTripUs = r.RoundTripUs,
                Received = received,
                Version = version,
                ReaderId = r.ReaderId,
            };
        }

        /// <summary>The device a COM port name opens, as Probe and Reader.Open open it:
        /// "/dev/ttyS2" for "COM3" on POSIX systems, "\\.\COM3" on Windows. Throws
        /// BadArgumentException for a name that is no COM name of a port.</summary>
        public static string ComPortPath(string name)
        {
            if (name == null || name.IndexOf('\0') >= 0)
                throw new BadArgumentException("ComPortPath", "not a COM port name");
            var path = new byte[64];
            int rc = NativeMethods.tqrf_com_port_path(name, path, (uint)path.Length);
            if (rc != 0) throw TqrfException.For(rc, "ComPortPath " + name, 0);
            int length = Array.IndexOf(path, (byte)0);
            return Encoding.UTF8.GetString(path, 0, length < 0 ? path.Length : length);
        }

        private static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }
}

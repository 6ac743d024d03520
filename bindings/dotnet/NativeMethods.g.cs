// NativeMethods.g.cs - every export of the library as a P/Invoke declaration, and the
// structures the exports fill.
// Written by scripts/gen-lists.py from include/tq_RWD_DLL.h and link/commands.h: do not edit.
// Change them, then run: python3 scripts/gen-lists.py --write
using System;
using System.Runtime.InteropServices;

namespace TqRwdDll
{
    public static partial class NativeMethods
    {
        // ---- Version ----------------------------------------------------------------------------

        /// <summary>The library's version text (static). Builds without it throw
        /// EntryPointNotFoundException: use LibraryVersion().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern IntPtr tqrf_version();

        // ---- Port control -----------------------------------------------------------------------

        /// <summary>Opens "COMn". The name is shortened IN PLACE (its first three characters
        /// removed), so it is a writable, NUL-terminated byte buffer: use PortNameBuffer("COM3").
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

        // ---- Card selection ---------------------------------------------------------------------

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

        // ---- Keys and authentication ------------------------------------------------------------

        /// <summary>key: 6 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_loadkey(int keyType, int sector, [In] byte[] key);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_authentication(int keyType, int sector);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_authentication_2(int keyType, int sector, int block);

        // ---- Block read and write ---------------------------------------------------------------

        /// <summary>data: 16 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_read(int block, [In, Out] byte[] data);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_write(int block, [In] byte[] data);

        // ---- Value blocks (values travel least significant byte first, without sign handling) ----

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

        // ---- Reader device ----------------------------------------------------------------------

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

        // ---- Hexadecimal text forms -------------------------------------------------------------

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

        // ---- Reader handles ---------------------------------------------------------------------

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

        /// <summary>fn: null removes the hook. The delegate must stay referenced while set.
        /// </summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_set_trace(ReaderHandle r, TraceCallback fn,
                                                       IntPtr user);

        /// <summary>stats: Size set to the structure's size first. Use Reader.Stats.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_get_stats(ReaderHandle r, ref ReaderStatsNative stats);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_os_error(ReaderHandle r);

        /// <summary>tqrf_reader_os_error(NULL): the error of this thread's last failed open.
        /// </summary>
        [DllImport(Library, CallingConvention = Cdecl, EntryPoint = "tqrf_reader_os_error")]
        public static extern int tqrf_reader_os_error_of_open(IntPtr none);

        /// <summary>Static text: returned as IntPtr because a string result would be freed by the
        /// marshaller. Use StrError(code).</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern IntPtr tqrf_strerror(int result);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_refusal_text(int command, int status, [Out] byte[] text,
                                                   uint size);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_last_refusal(ReaderHandle r, [Out] byte[] text,
                                                          uint size);

        // ---- Card operations on a reader --------------------------------------------------------

        /// <summary>type: 2 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_request(ReaderHandle r, int mode, [Out] byte[] type);

        /// <summary>serial: 4 bytes out.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_anticoll(ReaderHandle r, int arg, [Out] byte[] serial);

        /// <summary>serial: 4 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_select(ReaderHandle r, [In] byte[] serial,
                                                    out byte size);

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

        /// <summary>A value change made exactly once; before and after are written on 0 and -93
        /// only. Use Reader.ApplyValue().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_value_apply(ReaderHandle r, int block, int delta,
                                                         out uint before, out uint after);

        // ---- Reader device operations on a reader -----------------------------------------------

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
        public static extern int tqrf_reader_e2_read(ReaderHandle r, int address,
                                                     [Out] byte[] output, uint capacity,
                                                     out uint length);

        /// <summary>data: 16 bytes in.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_e2_write(ReaderHandle r, int address,
                                                      [In] byte[] data);

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

        // ---- Finding the reader: port listing, probing, what answered ---------------------------

        /// <summary>ports: one allocation of count PortInfoNative entries (IntPtr.Zero when count
        /// is 0), freed with tqrf_free_ports. Use Ports.List().</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_list_ports(out IntPtr ports, out uint count);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void tqrf_free_ports(IntPtr ports);

        /// <summary>deadlineMs: 40 to 1040, 0 for 100. Use Ports.Probe().</summary>
        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_probe([MarshalAs(UnmanagedType.LPStr)] string port,
                                            uint deadlineMs, out ProbeResultNative result);

        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_com_port_path([MarshalAs(UnmanagedType.LPStr)] string name,
                                                    [Out] byte[] path, uint capacity);

        // ---- Growable port list and probe result (from version 1.3) -----------------------------

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_list_ports2(uint entrySize, out IntPtr ports, out uint count);

        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void tqrf_free_ports2(IntPtr ports);

        [DllImport(Library, CallingConvention = Cdecl, CharSet = CharSet.Ansi)]
        public static extern int tqrf_probe2([MarshalAs(UnmanagedType.LPStr)] string port,
                                             uint deadlineMs, ref ProbeResult2Native result);

        /// <summary>What the reader's last exchange heard back: an Answer value.</summary>
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int tqrf_reader_last_answer(ReaderHandle r);
    }

    /// <summary>struct tqrf_port_info, as the library lays it out.</summary>
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

    /// <summary>struct tqrf_probe_result, as the library lays it out.</summary>
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

    /// <summary>struct tqrf_port_info2, as the library lays it out.</summary>
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

    /// <summary>struct tqrf_probe_result2, as the library lays it out.</summary>
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

    /// <summary>struct tqrf_reader_stats, as the library lays it out.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct ReaderStatsNative
    {
        public uint Size;
        public uint Reserved;
        public ulong Requests;
        public ulong Retries;
        public ulong Recoveries;
        public ulong Failures;
    }
}

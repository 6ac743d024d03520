// The tq_RWD_DLL card reader library from .NET (C#, VB.NET, F#).
//
// The sources of this folder, one type (or one family of small types) each: compile them all
// into a project (.NET Framework 4.x, .NET 6 or later, Mono), or reference the built
// TqRwdDll.dll, and put tq_RWD_DLL.dll (Windows, matching the process: x86 or x64) next to the
// program or on PATH. On Linux the runtime package's libtq_RWD_DLL.so.1 is found through the
// ldconfig cache: Mono through the map in TqRwdDll.dll.config (shipped beside the compiled
// assembly), .NET 5 and later through LibraryResolver.
//
//   NativeMethods  every export of the library as it is: the legacy functions on the built-in
//                  default reader, and the reader handle API (tqrf_reader_*). The declarations
//                  are in NativeMethods.g.cs, written from the C header by
//                  scripts/gen-lists.py; this file holds the helpers beside them.
//   Reader         an open reader over the handle API: methods that return data and throw
//                  a TqrfException subclass on failure. Dispose() closes it.
//   Ports          listing the serial ports and probing one.
//
// Every declaration uses CallingConvention.Cdecl: the library's exports are __cdecl, and the
// StdCall default of DllImport on 32-bit Windows would unbalance the stack. Buffers are byte[]
// of the sizes the header documents; the library reads and writes exactly those sizes, so a
// shorter array is memory corruption: the Reader class checks every length, callers of
// NativeMethods must do it themselves.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace TqRwdDll
{
    /// <summary>
    /// The library's exports, declared as include/tq_RWD_DLL.h documents them. Results are
    /// the reader's status byte (0 = done) or a negative ResultCode.
    /// </summary>
    public static partial class NativeMethods
    {
        /// <summary>tq_RWD_DLL.dll on Windows, libtq_RWD_DLL.so.1 on Linux (see TqRwdDll.dll.config
        /// and LibraryResolver).</summary>
        public const string Library = "tq_RWD_DLL";

        private const CallingConvention Cdecl = CallingConvention.Cdecl;

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

        /// <summary>What the refusal of the reader's last command means, with its status byte
        /// ("the key is wrong, or ... (reader status 0x12)"); null when it was not refused.</summary>
        public static string LastRefusal(ReaderHandle reader)
        {
            var text = new byte[ResultCode.RefusalTextMax];
            int n = tqrf_reader_last_refusal(reader, text, (uint)text.Length);
            return n > 0 ? TextOf(text) : null;
        }

        /// <summary>What a refusal of command `command` (a TQRF_COMMAND_* code, 0x44 for
        /// authenticate) with status byte `status` means, as the library words it.</summary>
        public static string RefusalText(int command, int status)
        {
            var text = new byte[ResultCode.RefusalTextMax];
            int n = tqrf_refusal_text(command, status, text, (uint)text.Length);
            return n > 0 ? TextOf(text) : null;
        }

        [DllImport("libc", EntryPoint = "strerror")]
        private static extern IntPtr libc_strerror(int errnum);

        /// <summary>The system's text for an operating system error code (errno on Linux and
        /// macOS, GetLastError() on Windows), as Python's os.strerror gives it; "" for 0.</summary>
        public static string SystemText(int osError)
        {
            if (osError == 0) return "";
            int platform = (int)Environment.OSVersion.Platform;
            if (platform == (int)PlatformID.Unix || platform == (int)PlatformID.MacOSX || platform == 128) {
                try {
                    IntPtr text = libc_strerror(osError);
                    if (text != IntPtr.Zero) return Marshal.PtrToStringAnsi(text);
                } catch (DllNotFoundException) {
                } catch (EntryPointNotFoundException) {
                }
                return "system error " + osError;
            }
            return new System.ComponentModel.Win32Exception(osError).Message;
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
}

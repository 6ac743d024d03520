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

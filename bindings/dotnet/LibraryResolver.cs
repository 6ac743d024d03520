// LibraryResolver.cs - how .NET 5 and later find the library on Linux.
using System;
using System.Reflection;
using System.Runtime.InteropServices;

namespace TqRwdDll
{
#if NET5_0_OR_GREATER
    /// <summary>
    /// .NET 5 and later: "tq_RWD_DLL" is looked for as libtq_RWD_DLL.so.1 on Linux (the
    /// runtime package has no libtq_RWD_DLL.so), then by the runtime's own search; "libc" as
    /// libc.so.6.
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
            // The system's error texts (NativeMethods.SystemText): libc.so is no library there.
            if (name == "libc" && OperatingSystem.IsLinux() &&
                NativeLibrary.TryLoad("libc.so.6", assembly, path, out handle))
                return handle;
            return IntPtr.Zero;
        }
    }
#endif
}

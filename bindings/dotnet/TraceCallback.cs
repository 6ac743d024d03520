// TraceCallback.cs - the C trace hook as a delegate.
using System;
using System.Runtime.InteropServices;

namespace TqRwdDll
{
    /// <summary>
    /// The C trace hook. Called on the calling thread inside the exchange, with the reader's
    /// lock held: it must not call the same reader. <paramref name="bytes"/> is valid only
    /// during the call. Keep the delegate referenced for as long as it is set.
    /// </summary>
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void TraceCallback(IntPtr user, int traceEvent, int result, IntPtr bytes,
                                       uint count, ulong timeUs);
}

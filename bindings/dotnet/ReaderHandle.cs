// ReaderHandle.cs - an open reader of the handle API as a SafeHandle.
using Microsoft.Win32.SafeHandles;

namespace TqRwdDll
{
    /// <summary>An open reader of the handle API; released with tqrf_reader_close.</summary>
    public sealed class ReaderHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        public ReaderHandle() : base(true) { }

        protected override bool ReleaseHandle()
        {
            return NativeMethods.tqrf_reader_close(handle) == 0;
        }
    }
}

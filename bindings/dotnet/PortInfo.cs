// PortInfo.cs - one serial port the system knows.

namespace TqRwdDll
{
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
}

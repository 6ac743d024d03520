// Ports.cs - listing the serial ports and finding out what answers on one.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace TqRwdDll
{
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

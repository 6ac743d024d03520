// ProbeResult.cs - what Ports.Probe found.

namespace TqRwdDll
{
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
}

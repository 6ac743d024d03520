// TraceEvent.cs - one event of a reader's trace.

namespace TqRwdDll
{
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
}

// ReaderStats.cs - a reader's counters.
namespace TqRwdDll
{
    /// <summary>A reader's counters (Reader.Stats), from its open on.</summary>
    public sealed class ReaderStats
    {
        /// <summary>Command calls that went to the line.</summary>
        public ulong Requests { get; private set; }
        /// <summary>Commands sent again, and value changes made again, after a lost reply.</summary>
        public ulong Retries { get; private set; }
        /// <summary>Calls that lost a reply and still succeeded.</summary>
        public ulong Recoveries { get; private set; }
        /// <summary>Calls that ended on a lost reply, NotApplied or ValueConflict.</summary>
        public ulong Failures { get; private set; }

        public ReaderStats(ulong requests, ulong retries, ulong recoveries, ulong failures)
        {
            Requests = requests;
            Retries = retries;
            Recoveries = recoveries;
            Failures = failures;
        }
    }
}

// ResultCode.cs - the library's result codes.

namespace TqRwdDll
{
    /// <summary>The library's result codes (TQRF_OK, TQRF_ERR_*: the names of the C header
    /// without the prefix). 0 to 255 is the reader's status byte.</summary>
    public static class ResultCode
    {
        public const int Ok = 0;
        /// <summary>A line-setting call failed or an argument was refused (legacy exports).</summary>
        public const int Failed = -1;
        /// <summary>tqrf_authentication_2 only: the block is not the sector's trailer.</summary>
        public const int NotSectorTrailer = 1;
        public const int PortInUse = -80;
        public const int PortOpenFailed = -81;
        public const int PortNotOpen = -82;
        public const int SendFailed = -83;
        public const int ReplyChecksum = -85;
        public const int ReplyFrame = -86;
        /// <summary>Handle API only: a status-0 reply without the command's data bytes.</summary>
        public const int ReplyLength = -87;
        /// <summary>Handle API only: the device is gone; the reader stays unusable.</summary>
        public const int DeviceLost = -88;
        /// <summary>Handle API only: an argument was refused; nothing was sent.</summary>
        public const int BadArgument = -89;
        /// <summary>Handle API only: a variable-length reply did not fit the buffer.</summary>
        public const int BufferTooSmall = -90;
        /// <summary>The serial adapter cannot send mark or space parity.</summary>
        public const int ParityUnsupported = -91;
        /// <summary>Handle API only: a write or value change was not carried out: its reply
        /// was lost and reading back showed it not done. Calling again is safe.</summary>
        public const int NotApplied = -92;
        /// <summary>Handle API only: a value change lost its reply and the block holds neither
        /// the value before nor the one expected.</summary>
        public const int ValueConflict = -93;

        /// <summary>The most data bytes a reply carries (TQRF_REPLY_DATA_MAX): the size of the
        /// buffers of tqrf_ReadHardwareVersionNumber, tqrf_Read_RC500E2 and
        /// tqrf_UploadRTC.</summary>
        public const int ReplyDataMax = 101;

        /// <summary>Bytes that always hold a refusal's text (TQRF_REFUSAL_TEXT_MAX).</summary>
        public const int RefusalTextMax = 256;
    }
}

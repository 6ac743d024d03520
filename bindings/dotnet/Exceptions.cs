// Exceptions.cs - the failures the library reports, as exceptions.
using System;

namespace TqRwdDll
{
    /// <summary>Base of every failure the library reports.</summary>
    public class TqrfException : Exception
    {
        /// <summary>The result code: negative, or the reader's status byte 1 to 255.</summary>
        public int Code { get; private set; }
        /// <summary>The Reader operation that failed ("Read", "Authenticate", ...).</summary>
        public string Operation { get; private set; }
        /// <summary>The operating system's error code (errno, GetLastError()), or 0.</summary>
        public int OsError { get; private set; }

        public TqrfException(int code, string operation, string message, int osError)
            : base(operation + ": " + message)
        {
            Code = code;
            Operation = operation;
            OsError = osError;
        }

        /// <summary>The exception for a non-zero result.</summary>
        public static TqrfException For(int code, string operation, int osError)
        {
            return For(code, operation, osError, Answer.None);
        }

        /// <summary>The exception for a non-zero result; a reply error says what came back.</summary>
        public static TqrfException For(int code, string operation, int osError, Answer answer)
        {
            return For(code, operation, osError, answer, null);
        }

        /// <summary>The exception for a non-zero result. refusal: what a status byte means for
        /// the command that got it (NativeMethods.LastRefusal), or null for the library's short
        /// text. An operating system error is told in the system's words.</summary>
        public static TqrfException For(int code, string operation, int osError, Answer answer,
                                        string refusal)
        {
            string text = NativeMethods.StrError(code);
            if (code > 0 && code <= 255)
                return new ReaderStatusException(code, operation, refusal ?? text);
            string system = osError != 0 ? ": " + NativeMethods.SystemText(osError) : "";
            switch (code) {
                case ResultCode.ReplyChecksum:
                case ResultCode.ReplyFrame:
                case ResultCode.ReplyLength:
                    return new ReplyException(code, operation, text + " (" + code + ")", answer);
                case ResultCode.DeviceLost:
                    return new DeviceLostException(code, operation,
                                                   text + " (" + code + ")" + system, osError);
                case ResultCode.BadArgument:
                    return new BadArgumentException(operation, text + " (" + code + ")", code);
                case ResultCode.Failed:
                case ResultCode.PortInUse:
                case ResultCode.PortOpenFailed:
                case ResultCode.PortNotOpen:
                case ResultCode.SendFailed:
                case ResultCode.ParityUnsupported:
                    return new PortException(code, operation, text + " (" + code + ")" + system,
                                             osError);
                case ResultCode.NotApplied:
                    return new NotAppliedException(operation, text + " (" + code + ")");
                default:
                    return new TqrfException(code, operation, text + " (" + code + ")", osError);
            }
        }
    }

    /// <summary>The reader answered a non-zero status byte (its meaning is the reader's).</summary>
    public class ReaderStatusException : TqrfException
    {
        public int Status { get { return Code; } }
        public string Text { get; private set; }

        public ReaderStatusException(int status, string operation, string text)
            : base(status, operation, StatusMessage(status, text), 0)
        {
            Text = text;
        }

        private static string StatusMessage(int status, string text)
        {
            string hex = "0x" + status.ToString("X2");
            return text.Contains(hex) ? text : "reader status " + hex + ": " + text;
        }
    }

    /// <summary>A write or value change was not carried out (-92): its reply was lost and
    /// reading back showed it not done on every attempt. Calling again is safe.</summary>
    public class NotAppliedException : TqrfException
    {
        public NotAppliedException(string operation, string message)
            : base(ResultCode.NotApplied, operation, message, 0) { }
    }

    /// <summary>A value change lost its reply and the block holds neither the value before nor
    /// the one expected (-93): something else changed it.</summary>
    public class ValueConflictException : TqrfException
    {
        /// <summary>The value before the change.</summary>
        public int Before { get; private set; }
        /// <summary>The value read back.</summary>
        public int Found { get; private set; }

        public ValueConflictException(string operation, string text, int block, int before,
                                      int found, int expected)
            : base(ResultCode.ValueConflict, operation,
                   text + " (" + ResultCode.ValueConflict + "): block " + block + " held " + before +
                       " before, now holds " + found + ", expected " + expected, 0)
        {
            Before = before;
            Found = found;
        }
    }

    /// <summary>No reply, or a malformed one (-85, -86, -87). The command may have run.</summary>
    public class ReplyException : TqrfException
    {
        /// <summary>What came back: silence, an echo of the request, bytes that are no frame,
        /// or a frame whose content was refused. The message says it in words.</summary>
        public Answer Answer { get; private set; }

        public ReplyException(int code, string operation, string message)
            : this(code, operation, message, Answer.None) { }

        public ReplyException(int code, string operation, string message, Answer answer)
            : base(code, operation, message + Heard(answer), 0)
        {
            Answer = answer;
        }

        /// <summary>What a failed exchange heard back, in words ("" for a frame or none).</summary>
        public static string Heard(Answer answer)
        {
            switch (answer) {
                case Answer.Silence:
                    return ": nothing came back: check the reader's power, the cable and the line rate";
                case Answer.Echo:
                    return ": the line echoes what is sent (a loopback plug, or crossed lines?): " +
                           "no reader answered";
                case Answer.Noise:
                    return ": bytes came back that are no reply frame: another device, or a wrong " +
                           "line rate?";
                default:
                    return "";
            }
        }
    }

    /// <summary>The device is gone (-88); OsError says how. Dispose the reader.</summary>
    public class DeviceLostException : TqrfException
    {
        public DeviceLostException(int code, string operation, string message, int osError)
            : base(code, operation, message, osError) { }
    }

    /// <summary>The port did not open (-81; OsError says why), the line settings were refused
    /// (-1), or a request was not written (-83).</summary>
    public class PortException : TqrfException
    {
        public PortException(int code, string operation, string message, int osError)
            : base(code, operation, message, osError) { }
    }

    /// <summary>An argument was refused, by the library (-89) or by this class (a buffer of
    /// the wrong size); nothing was sent.</summary>
    public class BadArgumentException : TqrfException
    {
        public BadArgumentException(string operation, string message,
                                    int code = ResultCode.BadArgument)
            : base(code, operation, message, 0) { }
    }
}

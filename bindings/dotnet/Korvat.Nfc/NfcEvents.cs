using System;

namespace Korvat.Nfc
{
    /// <summary>A target was found (the find message with a target information record).</summary>
    public sealed class TargetFoundEventArgs : EventArgs
    {
        public TargetFoundEventArgs(Target target) => Target = target;
        public Target Target { get; }
    }

    /// <summary>What the enable message says about a target.</summary>
    public enum TargetAccess
    {
        /// <summary>The target may be accessed now (access was started and is enabled).</summary>
        Enabled = 1,
        /// <summary>The target waits for the application to start access.</summary>
        Waiting = 2,
    }

    /// <summary>The enable message: a target's access changed.</summary>
    public sealed class TargetAccessEventArgs : EventArgs
    {
        public TargetAccessEventArgs(uint targetNumber, TargetAccess access)
        {
            TargetNumber = targetNumber;
            Access = access;
        }

        public uint TargetNumber { get; }
        public TargetAccess Access { get; }
    }

    /// <summary>A target left the field (the find message with KORVAT_NFC_LOST_TARGET; the library
    /// sends it with the registry value event_notification = 1 only). Reported once per target.</summary>
    public sealed class TargetLostEventArgs : EventArgs
    {
        public TargetLostEventArgs(uint targetNumber) => TargetNumber = targetNumber;
        /// <summary>The number the target's find message carried.</summary>
        public uint TargetNumber { get; }
    }

    /// <summary>A reader was plugged in or pulled out (plug-and-play: the registry value
    /// plug_and_play = 1 and <see cref="NfcReader.StartWatchingReaders"/>).</summary>
    public sealed class ReaderEventArgs : EventArgs
    {
        public ReaderEventArgs(ReaderInfo reader) => Reader = reader;
        public ReaderInfo Reader { get; }
    }

    /// <summary>The reader reported an error while polling (the find message with an error pair).</summary>
    public sealed class ReaderErrorEventArgs : EventArgs
    {
        public ReaderErrorEventArgs(uint code, uint detail)
        {
            Code = code;
            Detail = detail;
        }

        public uint Code { get; }
        public uint Detail { get; }
        /// <summary>The C name, or null for a code that is not the library's own.</summary>
        public string ErrorName => NfcErrorNames.Find(Code);
        /// <summary>The same error as an exception, to throw or log.</summary>
        public NfcException ToException() => new NfcException("polling", Code, Detail);
    }

    /// <summary>A handler of one of the reader's events threw (see <see cref="NfcReader.HandlerFailed"/>).</summary>
    public sealed class HandlerFailedEventArgs : EventArgs
    {
        public HandlerFailedEventArgs(string eventName, Exception exception)
        {
            EventName = eventName;
            Exception = exception;
        }

        /// <summary>The event whose handler threw: "TargetFound", "TargetLost", "AccessChanged", "ReaderError",
        /// "ReaderAdded" or "ReaderRemoved".</summary>
        public string EventName { get; }
        public Exception Exception { get; }
    }
}

using System;
using System.Runtime.InteropServices;

namespace Korvat.Nfc.Interop
{
    /// <summary>
    /// What one of the library's window messages says, decoded on the message window's thread
    /// (the record and the error pair belong to the library and are copied here). The four
    /// registered message numbers are a reader's: the find and enable messages of poll mode, the
    /// find and loss messages of plug-and-play.
    /// </summary>
    internal sealed class LibraryMessages
    {
        // wParam of the find message: KORVAT_NFC_FIND_ERROR, KORVAT_NFC_FIND_TARGET, KORVAT_NFC_LOST_TARGET;
        // of the plug-and-play messages: KORVAT_NFC_READER_FOUND, KORVAT_NFC_READER_LOST.
        internal const long FindError = 0, FindTarget = 1, LostTarget = 2, ReaderFound = 1, ReaderLost = 2;

        private readonly uint _find, _enable, _readerFound, _readerLost;

        public LibraryMessages(uint find, uint enable, uint readerFound, uint readerLost)
        {
            _find = find;
            _enable = enable;
            _readerFound = readerFound;
            _readerLost = readerLost;
        }

        /// <summary>The event the message raises (its name and arguments), or (null, null) for a
        /// message that is not one of these four or whose wParam or lParam none of them carries.</summary>
        public (string EventName, EventArgs Args) Decode(uint message, IntPtr wParam, IntPtr lParam)
        {
            long kind = wParam.ToInt64();
            if (message == _find)
            {
                if (kind == FindTarget && lParam != IntPtr.Zero)
                    return (nameof(NfcReader.TargetFound), new TargetFoundEventArgs(Target.FromMessage(lParam)));
                if (kind == LostTarget)
                    return (nameof(NfcReader.TargetLost), new TargetLostEventArgs(unchecked((uint)lParam.ToInt64())));
                if (kind == FindError && lParam != IntPtr.Zero)
                {
                    var pair = new int[2];
                    Marshal.Copy(lParam, pair, 0, 2);
                    return (nameof(NfcReader.ReaderError), new ReaderErrorEventArgs(unchecked((uint)pair[0]), unchecked((uint)pair[1])));
                }
            }
            else if (message == _enable && (kind == (long)TargetAccess.Enabled || kind == (long)TargetAccess.Waiting))
            {
                return (nameof(NfcReader.AccessChanged), new TargetAccessEventArgs(unchecked((uint)lParam.ToInt64()), (TargetAccess)kind));
            }
            else if (message == _readerFound && kind == ReaderFound && lParam != IntPtr.Zero)
            {
                return (nameof(NfcReader.ReaderAdded), new ReaderEventArgs(ReaderInfo.FromMessage(lParam)));
            }
            else if (message == _readerLost && kind == ReaderLost && lParam != IntPtr.Zero)
            {
                return (nameof(NfcReader.ReaderRemoved), new ReaderEventArgs(ReaderInfo.FromMessage(lParam)));
            }
            return (null, null);
        }
    }
}

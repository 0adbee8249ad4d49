using System;
using Korvat.Nfc.Interop;

namespace Korvat.Nfc
{
    /// <summary>
    /// Every call of the friendly layer goes through here: the last-error pair is one per library
    /// and process, so a failed call and the read of its pair happen under one lock, and no other
    /// call of this binding can come between them.
    /// </summary>
    internal static class NativeCall
    {
        private static readonly object Gate = new object();

        public static void Nfc(string operation, Func<bool> call)
        {
            lock (Gate)
            {
                if (call()) return;
                var info = new uint[2];
                NfcNative.korvatlib_nfc_get_last_error(info);
                throw new NfcException(operation, info[0], info[1]);
            }
        }

        public static void Tags(string operation, Func<bool> call)
        {
            lock (Gate)
            {
                if (call()) return;
                var info = new uint[2];
                TagsNative.korvatlib_tags_get_last_error(info);
                throw new NfcException(operation, info[0], info[1]);
            }
        }
    }
}

using System;
using Korvat.Nfc.Interop;
using Korvat.Nfc.Ndef;

namespace Korvat.Nfc
{
    /// <summary>What <see cref="NfcTags.Identify"/> found.</summary>
    public sealed class TagInfo
    {
        internal TagInfo(TagInfoRecord record)
        {
            TagType = (int)record.tag_type;
            Capacity = record.capacity;
            MessageSize = record.message_size;
            Writable = record.writable != 0;
            NdefPresent = record.ndef_present != 0;
        }

        /// <summary>The NFC Forum tag type: 2, 3 or 4.</summary>
        public int TagType { get; }
        /// <summary>The most bytes of an NDEF message the tag holds (0 without NDEF).</summary>
        public uint Capacity { get; }
        /// <summary>The bytes of the message it holds now (0: initialised and empty).</summary>
        public uint MessageSize { get; }
        /// <summary>A message can be written (without NDEF: <see cref="NfcTags.Format"/> can make it NDEF-ready).</summary>
        public bool Writable { get; }
        public bool NdefPresent { get; }

        public override string ToString() =>
            NdefPresent ? $"Type {TagType} Tag, NDEF message of {MessageSize} bytes, capacity {Capacity} bytes, {(Writable ? "writable" : "read-only")}"
                        : $"Type {TagType} Tag without NDEF";
    }

    /// <summary>
    /// The tag library (korvat_nfc_tags.dll): the NDEF message of Type 2, 3 and 4 Tags. Call these
    /// while access to the target is enabled (<see cref="NfcReader.AccessAsync"/>); failures are
    /// <see cref="NfcException"/>s with the tag library's pair (or the main library's, when its
    /// exchange with the tag failed).
    /// </summary>
    public static class NfcTags
    {
        private const uint FirstReadCapacity = 8192;

        public static TagInfo Identify(Target target)
        {
            byte[] record = RecordOf(target);
            TagInfoRecord info = default;
            NativeCall.Tags("korvatlib_tags_identify", () => TagsNative.korvatlib_tags_identify(record, (uint)record.Length, out info));
            return new TagInfo(info);
        }

        /// <summary>The NDEF message's bytes (none: the tag is initialised and empty).</summary>
        public static byte[] ReadNdefBytes(Target target)
        {
            byte[] record = RecordOf(target);
            uint capacity = FirstReadCapacity;
            while (true)
            {
                var buffer = new byte[capacity];
                uint size = 0;
                try
                {
                    NativeCall.Tags("korvatlib_tags_read_ndef",
                                    () => TagsNative.korvatlib_tags_read_ndef(record, (uint)record.Length, buffer, (uint)buffer.Length, out size));
                }
                catch (NfcException e) when (e.ErrorCode == NfcErrorCode.TagsBufferTooSmall && e.Detail > capacity)
                {
                    capacity = e.Detail;  // the bytes the message needs
                    continue;
                }
                Array.Resize(ref buffer, (int)size);
                return buffer;
            }
        }

        /// <summary>The NDEF message, its records as .NET types.</summary>
        public static NdefMessage ReadNdef(Target target) => NdefMessage.Parse(ReadNdefBytes(target));

        /// <summary>Writes the message (no records: the tag is left initialised and empty).</summary>
        public static void WriteNdef(Target target, NdefMessage message)
        {
            if (message == null) throw new ArgumentNullException(nameof(message));
            byte[] record = RecordOf(target), bytes = message.ToByteArray();
            NativeCall.Tags("korvatlib_tags_write_ndef",
                            () => TagsNative.korvatlib_tags_write_ndef(record, (uint)record.Length, bytes, (uint)bytes.Length));
        }

        /// <summary>Makes a blank Type 2 Tag NDEF-ready, or empties a writable Type 4 Tag.</summary>
        public static void Format(Target target)
        {
            byte[] record = RecordOf(target);
            NativeCall.Tags("korvatlib_tags_format", () => TagsNative.korvatlib_tags_format(record, (uint)record.Length));
        }

        private static byte[] RecordOf(Target target) =>
            (target ?? throw new ArgumentNullException(nameof(target))).RecordBytes;
    }
}

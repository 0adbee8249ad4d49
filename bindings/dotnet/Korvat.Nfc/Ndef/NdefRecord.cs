using System;
using System.Globalization;
using System.Linq;
using System.Text;

namespace Korvat.Nfc.Ndef
{
    /// <summary>Type name format of an NDEF record (the 3 low bits of its header).</summary>
    public enum NdefTypeNameFormat : byte
    {
        Empty = 0,
        WellKnown = 1,
        Media = 2,
        AbsoluteUri = 3,
        External = 4,
        Unknown = 5,
        Unchanged = 6,
    }

    /// <summary>
    /// One record of an NDEF message, chunks joined. <see cref="NdefMessage.Parse"/> gives a
    /// <see cref="UriRecord"/>, <see cref="TextRecord"/> or <see cref="MimeRecord"/> where the record is
    /// one, and this class for any other.
    /// </summary>
    public class NdefRecord
    {
        private readonly byte[] _type;
        private readonly byte[] _id;
        private readonly byte[] _payload;

        public NdefRecord(NdefTypeNameFormat tnf, byte[] type, byte[] id, byte[] payload)
        {
            if (tnf == NdefTypeNameFormat.Unchanged || tnf > NdefTypeNameFormat.Unchanged)
                throw new ArgumentOutOfRangeException(nameof(tnf), tnf, "a record's type name format is 0 to 5");
            _type = Copy(type, nameof(type), 255);
            _id = Copy(id, nameof(id), 255);
            _payload = Copy(payload, nameof(payload), int.MaxValue);
            if (tnf == NdefTypeNameFormat.Empty && (_type.Length + _id.Length + _payload.Length) > 0)
                throw new ArgumentException("an empty record has no type, id or payload");
            Tnf = tnf;
        }

        public NdefTypeNameFormat Tnf { get; }
        public byte[] Type => (byte[])_type.Clone();
        public byte[] Id => (byte[])_id.Clone();
        public byte[] Payload => (byte[])_payload.Clone();

        /// <summary>The type as text (types are ASCII: "U", "T", "text/plain").</summary>
        public string TypeName => Encoding.ASCII.GetString(_type);

        internal byte[] TypeBytes => _type;
        internal byte[] IdBytes => _id;
        internal byte[] PayloadBytes => _payload;

        internal bool IsWellKnown(string type) => Tnf == NdefTypeNameFormat.WellKnown && TypeName == type;

        public override bool Equals(object obj) =>
            obj is NdefRecord other && other.Tnf == Tnf && other._type.SequenceEqual(_type) &&
            other._id.SequenceEqual(_id) && other._payload.SequenceEqual(_payload);

        public override int GetHashCode() => ((int)Tnf * 397) ^ _payload.Length ^ (_type.Length << 16);

        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "{0} record, type \"{1}\", {2} bytes of payload", Tnf, TypeName, _payload.Length);

        private static byte[] Copy(byte[] bytes, string name, int limit)
        {
            if (bytes == null) return new byte[0];
            if (bytes.Length > limit) throw new ArgumentException($"at most {limit} bytes", name);
            return (byte[])bytes.Clone();
        }
    }

    /// <summary>A URI record (well-known type "U"); its prefix is abbreviated in the payload.</summary>
    public sealed class UriRecord : NdefRecord
    {
        // The URI identifier codes: the payload's first byte stands for one of these prefixes.
        private static readonly string[] Prefixes =
        {
            "", "http://www.", "https://www.", "http://", "https://", "tel:", "mailto:",
            "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://", "sftp://", "smb://", "nfs://", "ftp://",
            "dav://", "news:", "telnet://", "imap:", "rtsp://", "urn:", "pop:", "sip:", "sips:", "tftp:",
            "btspp://", "btl2cap://", "btgoep://", "tcpobex://", "irdaobex://", "file://", "urn:epc:id:",
            "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:", "urn:nfc:",
        };

        public UriRecord(string uri) : this(uri, null) { }

        public UriRecord(string uri, byte[] id)
            : base(NdefTypeNameFormat.WellKnown, new[] { (byte)'U' }, id, Encode(uri))
        {
            Uri = uri;
        }

        private UriRecord(NdefRecord record, string uri)
            : base(record.Tnf, record.TypeBytes, record.IdBytes, record.PayloadBytes)
        {
            Uri = uri;
        }

        /// <summary>The whole URI, its prefix expanded.</summary>
        public string Uri { get; }

        public override string ToString() => "URI " + Uri;

        private static byte[] Encode(string uri)
        {
            if (uri == null) throw new ArgumentNullException(nameof(uri));
            int code = 0;
            for (int i = 1; i < Prefixes.Length; i++)
            {
                if (uri.StartsWith(Prefixes[i], StringComparison.Ordinal) && Prefixes[i].Length > Prefixes[code].Length) code = i;
            }
            byte[] rest = Encoding.UTF8.GetBytes(uri.Substring(Prefixes[code].Length));
            var payload = new byte[1 + rest.Length];
            payload[0] = (byte)code;
            rest.CopyTo(payload, 1);
            return payload;
        }

        internal static UriRecord FromRecord(NdefRecord record)
        {
            byte[] payload = record.PayloadBytes;
            if (payload.Length == 0) throw new FormatException("a URI record has at least its identifier code");
            string prefix = payload[0] < Prefixes.Length ? Prefixes[payload[0]] : "";  // reserved codes: no prefix
            return new UriRecord(record, prefix + Strict.UTF8.GetString(payload, 1, payload.Length - 1));
        }
    }

    /// <summary>A Text record (well-known type "T"): a language code and the text.</summary>
    public sealed class TextRecord : NdefRecord
    {
        public TextRecord(string language, string text) : this(language, text, null) { }

        public TextRecord(string language, string text, byte[] id)
            : base(NdefTypeNameFormat.WellKnown, new[] { (byte)'T' }, id, Encode(language, text))
        {
            Language = language;
            Text = text;
        }

        private TextRecord(NdefRecord record, string language, string text)
            : base(record.Tnf, record.TypeBytes, record.IdBytes, record.PayloadBytes)
        {
            Language = language;
            Text = text;
        }

        /// <summary>The language code, such as "en" or "pt-BR".</summary>
        public string Language { get; }
        public string Text { get; }

        public override string ToString() => "Text [" + Language + "] " + Text;

        // Written in UTF-8: status byte (bit 7 clear, language length), language, text.
        private static byte[] Encode(string language, string text)
        {
            if (language == null) throw new ArgumentNullException(nameof(language));
            if (text == null) throw new ArgumentNullException(nameof(text));
            if (language.Length < 1 || language.Length > 63 || !language.All(c => c < 128 && (char.IsLetterOrDigit(c) || c == '-')))
                throw new ArgumentException("a language code has 1 to 63 letters, digits and hyphens", nameof(language));
            byte[] body = Encoding.UTF8.GetBytes(text);
            var payload = new byte[1 + language.Length + body.Length];
            payload[0] = (byte)language.Length;
            Encoding.ASCII.GetBytes(language, 0, language.Length, payload, 1);
            body.CopyTo(payload, 1 + language.Length);
            return payload;
        }

        internal static TextRecord FromRecord(NdefRecord record)
        {
            byte[] payload = record.PayloadBytes;
            if (payload.Length == 0) throw new FormatException("a Text record has at least its status byte");
            int languageLength = payload[0] & 0x3F;
            if (1 + languageLength > payload.Length)
                throw new FormatException($"a Text record's language of {languageLength} bytes is longer than its payload");
            string language = Encoding.ASCII.GetString(payload, 1, languageLength);
            int start = 1 + languageLength, count = payload.Length - start;
            string text = (payload[0] & 0x80) == 0 ? Strict.UTF8.GetString(payload, start, count) : DecodeUtf16(payload, start, count);
            return new TextRecord(record, language, text);
        }

        // UTF-16 with a byte order mark, or big-endian without one.
        private static string DecodeUtf16(byte[] bytes, int start, int count)
        {
            if (count % 2 != 0) throw new FormatException("a UTF-16 text has an even number of bytes");
            if (count >= 2 && bytes[start] == 0xFF && bytes[start + 1] == 0xFE) return Strict.UTF16LE.GetString(bytes, start + 2, count - 2);
            if (count >= 2 && bytes[start] == 0xFE && bytes[start + 1] == 0xFF) return Strict.UTF16BE.GetString(bytes, start + 2, count - 2);
            return Strict.UTF16BE.GetString(bytes, start, count);
        }
    }

    /// <summary>A MIME record (type name format Media): a media type such as "text/plain" and its bytes.</summary>
    public sealed class MimeRecord : NdefRecord
    {
        public MimeRecord(string mimeType, byte[] data) : this(mimeType, data, null) { }

        public MimeRecord(string mimeType, byte[] data, byte[] id)
            : base(NdefTypeNameFormat.Media, EncodeType(mimeType), id, data ?? throw new ArgumentNullException(nameof(data)))
        {
        }

        private MimeRecord(NdefRecord record) : base(record.Tnf, record.TypeBytes, record.IdBytes, record.PayloadBytes) { }

        public string MimeType => TypeName;

        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "MIME {0}, {1} bytes", MimeType, PayloadBytes.Length);

        private static byte[] EncodeType(string mimeType)
        {
            if (mimeType == null) throw new ArgumentNullException(nameof(mimeType));
            if (mimeType.Length == 0 || mimeType.IndexOf('/') <= 0 || mimeType.Any(c => c <= ' ' || c >= 127))
                throw new ArgumentException("a media type is printable ASCII of the form type/subtype", nameof(mimeType));
            return Encoding.ASCII.GetBytes(mimeType);
        }

        internal static MimeRecord FromRecord(NdefRecord record) => new MimeRecord(record);
    }

    // Decoders that refuse malformed input instead of replacing it.
    internal static class Strict
    {
        public static readonly Encoding UTF8 = new UTF8Encoding(false, true);
        public static readonly Encoding UTF16LE = new UnicodeEncoding(false, false, true);
        public static readonly Encoding UTF16BE = new UnicodeEncoding(true, false, true);
    }
}

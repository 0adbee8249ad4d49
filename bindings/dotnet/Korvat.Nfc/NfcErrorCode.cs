using System;
using System.Collections.Generic;
using System.Text;

namespace Korvat.Nfc
{
    /// <summary>
    /// The error codes of korvat_nfc_library_for_vb.dll (0x80C000xx, 0x80C001xx) and of
    /// korvat_nfc_tags.dll (0x80C002xx, members named Tags...). A plug-in may report codes of its
    /// own; those are no member of this enum and have no name. The tests check this list against
    /// the C headers code for code and name for name.
    /// </summary>
    public enum NfcErrorCode : uint
    {
        InvalidArgument = 0x80C00001,
        NotImplemented = 0x80C00002,
        OutOfMemory = 0x80C00004,
        NotInitialized = 0x80C00005,
        InvalidPortList = 0x80C00006,
        UnsupportedCategory = 0x80C00007,
        PluginHomeDirectory = 0x80C00008,
        PluginFunctionMissing = 0x80C0000A,
        NoPlugin = 0x80C0000B,
        ThreadCreate = 0x80C0000C,
        PortNotOpen = 0x80C0000D,
        NoCallbackParam = 0x80C0000E,
        RegisterMessage = 0x80C0000F,
        AlreadyInitialized = 0x80C00012,
        PortOpen = 0x80C00013,
        DriverStatus = 0x80C00014,
        UnsupportedTarget = 0x80C00015,
        ProcessExiting = 0x80C00016,
        NoEvent = 0x80C00017,
        BufferTooSmall = 0x80C00018,
        CardError1 = 0x80C00051,
        CardError2 = 0x80C00052,
        CardErrorOther = 0x80C00053,
        DeviceError1 = 0x80C00071,
        DeviceError2 = 0x80C00072,
        DeviceError3 = 0x80C00073,
        DeviceError4 = 0x80C00074,
        DeviceError5 = 0x80C00075,
        DeviceErrorOther = 0x80C00076,
        LogRelativePath = 0x80C00102,
        LogFileMissing = 0x80C00103,
        LogFileOpen = 0x80C00104,

        TagsInvalidArgument = 0x80C00201,
        TagsUnsupportedTarget = 0x80C00202,
        TagsNotNdefFormatted = 0x80C00203,
        TagsReadOnly = 0x80C00204,
        TagsTooLarge = 0x80C00205,
        TagsRefused = 0x80C00206,
        TagsInvalidTag = 0x80C00207,
        TagsBufferTooSmall = 0x80C00208,
        TagsInvalidNdef = 0x80C00209,
        TagsNoSuchRecord = 0x80C0020A,
        TagsWrongRecordType = 0x80C0020B,
        TagsMainLibraryNotFound = 0x80C0020C,
    }

    /// <summary>The C names of the error codes, as the headers, the logs and the README write them.</summary>
    public static class NfcErrorNames
    {
        private static readonly Dictionary<uint, string> Names = BuildNames();

        /// <summary>The C name of a library code, such as "KORVAT_NFC_E_NO_PLUGIN"; null for any
        /// other value (a plug-in's own code, for example).</summary>
        public static string Find(uint code) => Names.TryGetValue(code, out var name) ? name : null;

        /// <summary>Every code with its C name.</summary>
        public static IReadOnlyDictionary<uint, string> All => Names;

        // KORVAT_NFC_E_ or KORVAT_TAGS_E_, then the member's words in capitals joined by '_', a
        // run of digits being a word of its own: DeviceError1 -> KORVAT_NFC_E_DEVICE_ERROR_1.
        private static Dictionary<uint, string> BuildNames()
        {
            var names = new Dictionary<uint, string>();
            foreach (NfcErrorCode code in Enum.GetValues(typeof(NfcErrorCode)))
            {
                string member = code.ToString();
                string prefix = "KORVAT_NFC_E_";
                if (member.StartsWith("Tags", StringComparison.Ordinal))
                {
                    prefix = "KORVAT_TAGS_E_";
                    member = member.Substring(4);
                }
                var name = new StringBuilder(prefix);
                for (int i = 0; i < member.Length; i++)
                {
                    char c = member[i];
                    bool newWord = i > 0 && (char.IsUpper(c) || (char.IsDigit(c) && !char.IsDigit(member[i - 1])));
                    if (newWord) name.Append('_');
                    name.Append(char.ToUpperInvariant(c));
                }
                names.Add((uint)code, name.ToString());
            }
            return names;
        }
    }
}

using System;
using System.Globalization;

namespace Korvat.Nfc
{
    /// <summary>
    /// A call of the library or of the tag library failed: the pair it left (error code, detail
    /// code), the error's C name when the code is one of the libraries' own, and the call.
    /// </summary>
    public class NfcException : Exception
    {
        public NfcException(string operation, uint code, uint detail)
            : base(Describe(operation, code, detail))
        {
            Operation = operation;
            Code = code;
            Detail = detail;
            HResult = unchecked((int)code);
        }

        /// <summary>The exported function that failed, such as "korvatlib_nfc_open".</summary>
        public string Operation { get; }

        /// <summary>The error code (0x80C0xxxx for the libraries' own, anything for a plug-in's).</summary>
        public uint Code { get; }

        /// <summary>The detail code: 0 for most of the library's own errors; a plug-in's or a tag's word otherwise.</summary>
        public uint Detail { get; }

        /// <summary>The code as the enum, for a switch; a plug-in's own code is no named member.</summary>
        public NfcErrorCode ErrorCode => (NfcErrorCode)Code;

        /// <summary>The C name ("KORVAT_NFC_E_NO_PLUGIN"), or null for a code that is not the libraries' own.</summary>
        public string ErrorName => NfcErrorNames.Find(Code);

        internal static string Describe(string operation, uint code, uint detail)
        {
            string name = NfcErrorNames.Find(code) ?? "error";
            return string.Format(CultureInfo.InvariantCulture, "{0} failed: {1} (0x{2:X8}), detail 0x{3:X8}",
                                 operation, name, code, detail);
        }
    }
}

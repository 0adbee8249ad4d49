using System;
using System.Linq;

namespace Korvat.Nfc.Tests
{
    internal static class Bytes
    {
        // Hex with blanks allowed: "01000000 07000000".
        public static byte[] Of(string hex)
        {
            hex = new string(hex.Where(c => !char.IsWhiteSpace(c)).ToArray());
            return Enumerable.Range(0, hex.Length / 2).Select(i => Convert.ToByte(hex.Substring(i * 2, 2), 16)).ToArray();
        }

        public static string Hex(byte[] bytes) => Convert.ToHexString(bytes);
    }
}

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using Korvat.Nfc.Interop;
using Xunit;

namespace Korvat.Nfc.Tests
{
    // The binding's structs against the C headers as a C compiler lays them out: a program built
    // from the headers prints offsetof and sizeof of every field the structs declare (a field the
    // header lacks does not compile), and the size of each fixed part.
    public class RecordLayoutTests
    {
        // C# struct, C type, the C member where the variable field begins (null: the struct is whole).
        public static readonly TheoryData<Type, string, string> Structs = new TheoryData<Type, string, string>
        {
            { typeof(Record14443A), "DEVICE_DATA_NFC_14443A_18092_106K", "ATS" },
            { typeof(Record14443B), "DEVICE_DATA_NFC_14443B_106K", "ATTRIB" },
            { typeof(Record18092), "DEVICE_DATA_NFC_18092_212_424K", "RD" },
            { typeof(TagInfoRecord), "KORVAT_TAG_INFO", null },
            { typeof(NdefRecordRecord), "KORVAT_NDEF_RECORD", null },
            { typeof(ReaderRecord), "KORVAT_NFC_READER_RECORD", null },
            { typeof(EventRecord), "KORVAT_NFC_EVENT", null },
        };

        private static readonly Lazy<Dictionary<string, (long Offset, long Size)>> CLayout = new Lazy<Dictionary<string, (long, long)>>(MeasureWithCompiler);

        [Theory]
        [MemberData(nameof(Structs))]
        public void EveryFieldHasTheOffsetAndSizeOfTheHeader(Type type, string cType, string variableField)
        {
            foreach (FieldInfo field in type.GetFields())
            {
                var c = CLayout.Value[$"{cType}.{field.Name}"];
                Assert.True(c.Offset == (long)Marshal.OffsetOf(type, field.Name), $"{cType}.{field.Name}: offset {Marshal.OffsetOf(type, field.Name)}, the header's {c.Offset}");
                Assert.True(c.Size == FieldSize(field), $"{cType}.{field.Name}: size {FieldSize(field)}, the header's {c.Size}");
            }
            // The struct is the header's whole fixed part: no member of the header is left out.
            long expected = variableField == null ? CLayout.Value[$"{cType}.sizeof"].Size : CLayout.Value[$"{cType}.{variableField}"].Offset;
            Assert.Equal(expected, Marshal.SizeOf(type));
        }

        private static long FieldSize(FieldInfo field)
        {
            var array = field.GetCustomAttribute<MarshalAsAttribute>();
            return field.FieldType.IsArray ? array.SizeConst * Marshal.SizeOf(field.FieldType.GetElementType()) : Marshal.SizeOf(field.FieldType);
        }

        private static Dictionary<string, (long, long)> MeasureWithCompiler()
        {
            var source = new StringBuilder("#include <stdio.h>\n#include \"korvat_nfc_tags.h\"\n#define M(t, f) printf(\"%s.%s %zu %zu\\n\", #t, #f, offsetof(t, f), sizeof(((t *)0)->f));\nint main(void) {\n");
            foreach (var row in Structs)
            {
                var (type, cType, variable) = ((Type)row[0], (string)row[1], (string)row[2]);
                foreach (FieldInfo field in type.GetFields()) source.Append($"M({cType}, {field.Name})\n");
                if (variable != null) source.Append($"M({cType}, {variable})\n");
                source.Append($"printf(\"{cType}.sizeof 0 %zu\\n\", sizeof({cType}));\n");
            }
            source.Append("return 0;\n}\n");

            string directory = Directory.CreateTempSubdirectory("korvat-layout").FullName;
            try
            {
                File.WriteAllText(Path.Combine(directory, "layout.c"), source.ToString());
                string program = Path.Combine(directory, "layout");
                Run("gcc", $"-std=c11 -Wall -Werror -D__cdecl= -DKORVAT_NFC_STATIC_DECLARATIONS -I \"{Repository.File("include")}\" -o \"{program}\" \"{Path.Combine(directory, "layout.c")}\"");
                return Run(program, "").Split('\n', StringSplitOptions.RemoveEmptyEntries)
                    .Select(line => line.Split(' '))
                    .ToDictionary(parts => parts[0], parts => (long.Parse(parts[1]), long.Parse(parts[2])));
            }
            finally
            {
                Directory.Delete(directory, true);
            }
        }

        private static string Run(string file, string arguments)
        {
            var start = new ProcessStartInfo(file, arguments) { RedirectStandardOutput = true, RedirectStandardError = true };
            using var process = Process.Start(start);
            string output = process.StandardOutput.ReadToEnd(), errors = process.StandardError.ReadToEnd();
            process.WaitForExit();
            Assert.True(process.ExitCode == 0, $"{file} {arguments} failed ({process.ExitCode}): {errors}");
            return output;
        }
    }
}

#!/usr/bin/env python3
"""Checks bindings/vba/KorvatNfc.bas against the C headers and the .def files, without a VBA
runtime: every export declared once in each configuration (64-bit VBA on the two DLLs, 32-bit VBA
and VB6 on the stdcall companion), each Declare's parameters (names, ByVal/ByRef, types) against
the C prototype, the constants against the headers' values, the error names, the record offsets
and read widths against the offsets a C compiler gives for the headers' packed structs, and the
names the README's VBA example uses.

Usage: check_vba_module.py <source dir> <C compiler> [--self-test]
--self-test: the checks are run on copies of the module with one fault each; every fault must be
found (a check that finds nothing is no check)."""
import os
import re
import subprocess
import sys
import tempfile

# C parameter type -> the VBA forms that pass it right.
VBA_FORMS = {
    'uint32_t': {('ByVal', 'Long')},
    'int32_t': {('ByVal', 'Long')},
    'uint16_t': {('ByVal', 'Integer')},
    'void *': {('ByVal', 'LongPtr')},
    'const char *': {('ByVal', 'String'), ('ByRef', 'Byte')},
    'char *': {('ByRef', 'Byte')},
    'uint8_t *': {('ByRef', 'Byte')},
    'const uint8_t *': {('ByRef', 'Byte')},
    'uint32_t *': {('ByRef', 'Long')},
    'int32_t *': {('ByRef', 'Long')},
    'uint16_t *': {('ByRef', 'Integer')},
    # Packed records: a Byte buffer, read field by field (VBA types are naturally aligned).
    'KORVAT_TAG_INFO *': {('ByRef', 'Byte')},
    'KORVAT_NDEF_RECORD *': {('ByRef', 'Byte')},
    # Records whose fields are all naturally aligned: a user-defined type of the same layout.
    'KORVAT_NFC_EVENT *': {('ByRef', 'KnEvent')},
    'KORVAT_NFC_READER_RECORD *': {('ByRef', 'KnReaderRecord')},
}

# Types of the module that mirror a C structure field for field (checked by check_mirrored_types).
MIRRORED_TYPES = {
    'KnEvent': 'KORVAT_NFC_EVENT',
    'KnReaderRecord': 'KORVAT_NFC_READER_RECORD',
}

# C parameter names that are VBA keywords, and the name the module gives them instead.
VBA_NAMES = {
    'event': 'event_record',
}

# OFS_<kind>_<MEMBER> constants of the module -> the C structure.
RECORD_KINDS = {
    '14443A': 'DEVICE_DATA_NFC_14443A_18092_106K',
    '14443B': 'DEVICE_DATA_NFC_14443B_106K',
    '18092': 'DEVICE_DATA_NFC_18092_212_424K',
    'TAG_INFO': 'KORVAT_TAG_INFO',
    'NDEF_RECORD': 'KORVAT_NDEF_RECORD',
}

# The tag library's strings are UTF-8 (korvat_nfc_tags.h). VBA passes a "ByVal As String" in the
# ANSI code page, which is right only for those the header limits to ASCII; the others take the
# UTF-8 bytes of KnUtf8Bytes "ByRef As Byte". Each is checked with a text of its kind: what the
# declared form passes must be that text's UTF-8.
TAG_STRING_SAMPLES = {
    'language': 'pt-BR',                                 # letters, digits and hyphens
    'mime_type': 'text/plain',                           # a media type, ASCII
    'uri': 'https://example.com/p\u00e4iv\u00e4\u00e4/\u65e5\u672c?q=\u20ac',  # any text, UTF-8
    'utf8_text': 'Ol\u00e1, \u4e16\u754c',
}
ANSI_CODE_PAGE = 'cp1252'  # a Western Windows's: what VBA's conversion of a String gives there

MAIN_DLL = 'korvat_nfc_library_for_vb.dll'
TAGS_DLL = 'korvat_nfc_tags.dll'
COMPANION_DLL = 'korvat_nfc_stdcall.dll'


class Sources:
    def __init__(self, root, compiler):
        self.root = root
        self.headers = [os.path.join(root, 'include', h) for h in ('korvat_nfc.h', 'korvat_nfc_tags.h')]
        self.header_text = ''.join(open(h).read() for h in self.headers)
        self.readme = open(os.path.join(root, 'README.md')).read()
        self.main_exports = def_exports(os.path.join(root, 'NFCLibrary', 'korvat_nfc_library.def'))
        self.tags_exports = def_exports(os.path.join(root, 'TagLibrary', 'korvat_nfc_tags.def'))
        companion = open(os.path.join(root, 'bindings', 'stdcall', 'korvat_nfc_stdcall.def')).read()
        self.companion_exports = set(re.findall(r'^\s*(\w+)\s*=', companion, re.M))
        self.prototypes = c_prototypes(self.header_text)
        self.constants = c_constants(self.header_text)
        self.structs = c_structs(self.header_text, self.constants)
        self.layout = c_layout(compiler, os.path.join(root, 'include'), self.structs)


def def_exports(path):
    return [m.group(1) for m in re.finditer(r'^\s*(\w+)\s+@\d+', open(path).read(), re.M)]


def c_prototypes(text):
    """name -> [(type, name)] of every exported function."""
    prototypes = {}
    for m in re.finditer(r'KORVAT_\w+_API\s+KORVAT_NFC_BOOL\s+KORVAT_NFC_CALL\s+(\w+)\s*\(([^)]*)\)\s*;', text):
        parameters = []
        for p in ' '.join(m.group(2).split()).split(','):
            p = p.strip()
            if p == 'void':
                continue
            pm = re.match(r'(.*?)\s*(\**)\s*(\w+)$', p)
            ctype = pm.group(1) + (' ' + pm.group(2) if pm.group(2) else '')
            parameters.append((ctype, pm.group(3)))
        prototypes[m.group(1)] = parameters
    return prototypes


def c_constants(text):
    """Object-like numeric #defines: name -> value as an unsigned 32-bit number."""
    constants = {}
    for m in re.finditer(r'^#define\s+(\w+)\s+(0x[0-9A-Fa-f]+|\d+)u?\b', text, re.M):
        constants[m.group(1)] = int(m.group(2), 0) & 0xFFFFFFFF
    return constants


def c_structs(text, constants):
    """struct name -> [(member, C type, array length or None)] in order (a length may be a #define)."""
    structs = {}
    for m in re.finditer(r'typedef struct (\w+) \{(.*?)\} \1;', text, re.S):
        members = []
        for line in m.group(2).splitlines():
            mm = re.match(r'\s*(uint8_t|uint16_t|uint32_t|char)\s+(\w+)(?:\[(\w+)\])?;', line)
            if mm:
                length = mm.group(3)
                if length is not None:
                    length = int(length) if length.isdigit() else constants[length]
                members.append((mm.group(2), mm.group(1), length))
        structs[m.group(1)] = members
    return structs


def c_layout(compiler, include, structs):
    """What the compiler makes of the headers: (struct, member) -> offset, and the sizes."""
    lines = ['#include <stdio.h>', '#include "korvat_nfc.h"', '#include "korvat_nfc_tags.h"', 'int main(void) {']
    for struct, members in structs.items():
        lines.append('printf("sizeof %s %%u\\n", (unsigned)sizeof(%s));' % (struct, struct))
        for member, _, _ in members:
            lines.append('printf("%s %s %%u\\n", (unsigned)offsetof(%s, %s));' % (struct, member, struct, member))
    lines.append('printf("KORVAT_NFC_MAXIMUM_RECORD_SIZE %u\\n", (unsigned)KORVAT_NFC_MAXIMUM_RECORD_SIZE);')
    lines.append('return 0; }')
    with tempfile.TemporaryDirectory() as scratch:
        source = os.path.join(scratch, 'layout.c')
        program = os.path.join(scratch, 'layout')
        with open(source, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        subprocess.run([compiler, '-std=c11', '-DKORVAT_NFC_STATIC_DECLARATIONS', '-D__cdecl=', '-I', include,
                        source, '-o', program], check=True)
        output = subprocess.run([program], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in output.splitlines():
        words = line.split()
        layout[tuple(words[:-1])] = int(words[-1])
    return layout


def vba_number(literal):
    literal = literal.rstrip('&')
    value = int(literal[2:], 16) if literal.upper().startswith('&H') else int(literal)
    return value & 0xFFFFFFFF


def configurations(bas):
    """The lines each build sees: 'Win64' (64-bit VBA) and 'Win32' (32-bit VBA, VB6), split at
    the module's #If Win64 / #Else / #End If."""
    seen = {'Win64': [], 'Win32': []}
    stack = []
    for number, line in enumerate(bas.splitlines(), 1):
        word = line.strip().split(' ')[0].lower()
        if word == '#if':
            stack.append('Win64' if re.match(r'#If Win64 Then$', line.strip(), re.I) else '*')
            continue
        if word == '#else':
            stack[-1] = {'Win64': 'Win32', 'Win32': 'Win64'}.get(stack[-1], stack[-1])
            continue
        if word == '#end':
            stack.pop()
            continue
        for config in seen:
            if all(s in ('*', config) for s in stack):
                seen[config].append((number, line))
    return seen


DECLARE = re.compile(r'^(Public|Private)\s+Declare\s+(PtrSafe\s+)?(Function|Sub)\s+(\w+)\s+Lib\s+"([^"]+)"'
                     r'(?:\s+Alias\s+"[^"]+")?\s*\(([^)]*)\)(?:\s+As\s+(\w+))?\s*$')


def check_declares(bas, sources):
    problems = []
    exports = sources.main_exports + sources.tags_exports
    for config, lines in configurations(bas).items():
        declared = {}
        for number, line in lines:
            m = DECLARE.match(line.strip())
            if line.strip().split(' ')[1:2] == ['Declare'] and not m:
                problems.append('%s line %d: a Declare this check cannot read: %s' % (config, number, line.strip()))
                continue
            if not m:
                continue
            _, ptrsafe, kind, name, lib, parameters, result = m.groups()
            where = '%s line %d, %s' % (config, number, name)
            if config == 'Win64' and not ptrsafe:
                problems.append('%s: 64-bit VBA needs PtrSafe' % where)
            if config == 'Win32' and ptrsafe:
                problems.append('%s: PtrSafe does not compile in VB6' % where)
            if not name.startswith('korvatlib_'):
                continue
            declared.setdefault(name, []).append(number)
            if config == 'Win64':
                wanted_lib = MAIN_DLL if name in sources.main_exports else TAGS_DLL
            else:
                wanted_lib = COMPANION_DLL
                if name not in sources.companion_exports:
                    problems.append('%s: %s does not export it' % (where, COMPANION_DLL))
            if lib != wanted_lib:
                problems.append('%s: Lib "%s", not "%s"' % (where, lib, wanted_lib))
            if kind != 'Function' or result != 'Byte':
                problems.append('%s: the one-byte boolean result must be "Function ... As Byte"' % where)
            prototype = sources.prototypes.get(name)
            if prototype is None:
                problems.append('%s: no such prototype in the headers' % where)
                continue
            vba = [p.strip() for p in parameters.split(',')] if parameters.strip() else []
            if len(vba) != len(prototype):
                problems.append('%s: %d parameters, the prototype has %d' % (where, len(vba), len(prototype)))
                continue
            for text, (ctype, cname) in zip(vba, prototype):
                pm = re.match(r'(ByVal|ByRef)\s+(\w+)\s+As\s+(\w+)$', text)
                if not pm:
                    problems.append('%s: "%s" must say ByVal or ByRef, its name and its type' % (where, text))
                    continue
                passing, vname, vtype = pm.groups()
                if vname != VBA_NAMES.get(cname, cname):
                    problems.append('%s: parameter "%s" where the prototype has "%s"' % (where, vname, VBA_NAMES.get(cname, cname)))
                if (passing, vtype) not in VBA_FORMS[ctype]:
                    problems.append('%s: %s as "%s %s", the C type %s needs %s' % (
                        where, cname, passing, vtype, ctype, ' or '.join(' '.join(f) for f in sorted(VBA_FORMS[ctype]))))
                elif ctype == 'const char *' and name in sources.tags_exports:
                    problems += check_tag_string(where, cname, passing, bas)
        for name in exports:
            if len(declared.get(name, [])) != 1:
                problems.append('%s: %s is declared %d times, not once' % (config, name, len(declared.get(name, []))))
        for name in set(declared) - set(exports):
            problems.append('%s: %s is declared but no DLL exports it' % (config, name))
    return problems


def check_tag_string(where, cname, passing, bas):
    """A tag library string passed in the declared form: its sample text must arrive as UTF-8."""
    sample = TAG_STRING_SAMPLES.get(cname)
    if sample is None:
        return ['%s: %s is a string of the tag library this check has no sample text for' % (where, cname)]
    if passing == 'ByVal':
        passed = sample.encode(ANSI_CODE_PAGE, errors='replace')   # VBA's conversion; '?' for the rest
    else:
        utf8 = re.search(r'Function KnUtf8Bytes\b.*?WideCharToMultiByte\((\w+),.*?End Function', bas, re.S)
        code_page = utf8.group(1) if utf8 else 'nothing'
        passed = sample.encode('utf-8') if code_page in ('65001', 'CP_UTF8') else sample.encode(ANSI_CODE_PAGE, 'replace')
    if passed != sample.encode('utf-8'):
        how = ('"ByVal As String" (the ANSI code page)' if passing == 'ByVal' else
               'KnUtf8Bytes\' bytes, which are not UTF-8')
        return ['%s: %s "%s" arrives as %s through %s, not as its UTF-8 %s: the tag library takes UTF-8' % (
            where, cname, sample, passed.hex(' '), how, sample.encode('utf-8').hex(' '))]
    return []


def module_constants(bas):
    return {m.group(1): m.group(2) for m in
            re.finditer(r'^\s*(?:Public|Private)\s+Const\s+(\w+)\s+As\s+Long\s*=\s*(&H[0-9A-Fa-f]+&?|-?\d+)', bas, re.M)}


def check_constants(bas, sources):
    problems = []
    constants = module_constants(bas)
    for name, value in sources.constants.items():
        if name.startswith(('KORVAT_NFC_E_', 'KORVAT_TAGS_E_', 'DEVICE_TYPE_', 'KORVAT_NFC_FIND_', 'KORVAT_TAG_TYPE_',
                            'KORVAT_NDEF_TNF_', 'KORVAT_NFC_EVENT_', 'KORVAT_NFC_READER_')) or name in (
                                'ENABLE_ACCESS_TO_TARGET', 'WAITING_ACCESS_TO_TARGET', 'KORVAT_NFC_LOST_TARGET',
                                'KORVAT_NFC_PORT_NAME_SIZE'):
            if name not in constants:
                problems.append('constant %s of the headers is missing' % name)
            elif vba_number(constants[name]) != value:
                problems.append('constant %s is %s, the header says 0x%08X' % (name, constants[name], value))
    error_name = re.search(r'Function KnErrorName\b(.*?)End Function', bas, re.S)
    cases = dict(re.findall(r'Case (\w+): KnErrorName = "(\w+)"', error_name.group(1))) if error_name else {}
    for name in sources.constants:
        if name.startswith(('KORVAT_NFC_E_', 'KORVAT_TAGS_E_')) and cases.get(name) != name:
            problems.append('KnErrorName does not give "%s" for %s' % (name, name))
    sizes = {'KN_TAG_INFO_SIZE': sources.layout[('sizeof', 'KORVAT_TAG_INFO')],
             'KN_NDEF_RECORD_SIZE': sources.layout[('sizeof', 'KORVAT_NDEF_RECORD')],
             'KN_MAXIMUM_RECORD_SIZE': sources.layout[('KORVAT_NFC_MAXIMUM_RECORD_SIZE',)],
             'KN_PORT_NAME_SIZE': int(re.search(r'the buffer must hold (\d+) bytes', sources.header_text).group(1))}
    for name, value in sizes.items():
        if name not in constants or vba_number(constants[name]) != value:
            problems.append('%s is %s, the headers give %d' % (name, constants.get(name), value))
    return problems


def check_records(bas, sources):
    problems = []
    constants = module_constants(bas)
    offsets = {name: vba_number(v) for name, v in constants.items() if name.startswith('OFS_')}
    for name, value in offsets.items():
        kind = next((k for k in RECORD_KINDS if name.startswith('OFS_%s_' % k)), None)
        if kind is None:
            problems.append('%s names no record of the headers' % name)
            continue
        struct = RECORD_KINDS[kind]
        member = next((m for m, _, _ in sources.structs[struct] if m.upper() == name[len('OFS_%s_' % kind):]), None)
        if member is None:
            problems.append('%s: %s has no such member' % (name, struct))
        elif sources.layout[(struct, member)] != value:
            problems.append('%s is %d, offsetof(%s, %s) is %d' % (name, value, struct, member,
                                                                  sources.layout[(struct, member)]))
    for kind, struct in RECORD_KINDS.items():
        members = sources.structs[struct]
        for member, ctype, length in members:
            sized = any(m.lower() == member.lower() + '_size' for m, _, _ in members)
            if member.startswith('reserved'):
                continue  # padding, never read
            name = 'OFS_%s_%s' % (kind, member.upper())
            if name not in offsets:
                problems.append('%s.%s has no offset constant %s' % (struct, member, name))
                continue
            reads = ([('KnU32', None)] * len(re.findall(r'KnU32\(\w+, %s\)' % name, bas)) +
                     [('KnU16', None)] * len(re.findall(r'KnU16\(\w+, %s\)' % name, bas)) +
                     [('byte', None)] * len(re.findall(r'(?<!KnU32)(?<!KnU16)(?<!KnSlice)\b\w+\(%s\)' % name, bas)) +
                     [('KnSlice', c) for c in re.findall(r'KnSlice\(\w+, %s, ([\w.]+)\)' % name, bas)])
            if not reads:
                problems.append('%s.%s is never read' % (struct, member))
            for how, count in reads:
                if length is None and (ctype, how) not in (('uint32_t', 'KnU32'), ('uint16_t', 'KnU16'),
                                                           ('uint8_t', 'byte')):
                    problems.append('%s.%s (%s) is read with %s' % (struct, member, ctype, how))
                elif length is not None and how != 'KnSlice':
                    problems.append('%s.%s (an array) is read with %s' % (struct, member, how))
                elif length == 1 and count.isdigit():
                    problems.append('%s.%s (variable length) is read as %s bytes, not by its size field' % (
                        struct, member, count))
                elif length is not None and length > 1 and count != str(length) and (count.isdigit() or not sized):
                    # A fixed array: all of it, or the part its size member gives.
                    problems.append('%s.%s is %d bytes, read as %s' % (struct, member, length, count))
    return problems


VBA_WIDTHS = {'Byte': 1, 'Integer': 2, 'Long': 4}
C_WIDTHS = {'uint8_t': 1, 'char': 1, 'uint16_t': 2, 'uint32_t': 4}


def check_mirrored_types(bas, sources):
    """Each type that mirrors a C structure has its members in the same order, with the same
    names, widths and array lengths, at the same offsets (VBA aligns each member to its width),
    and the same size."""
    problems = []
    for vba_type, struct in MIRRORED_TYPES.items():
        m = re.search(r'^Public Type %s\n(.*?)^End Type' % vba_type, bas, re.S | re.M)
        if not m:
            problems.append('the type %s (%s) is missing' % (vba_type, struct))
            continue
        members = []
        for line in m.group(1).splitlines():
            mm = re.match(r'\s*(\w+)(?:\((\d+) To (\d+)\))?\s+As\s+(\w+)', line)
            if mm:
                length = int(mm.group(3)) - int(mm.group(2)) + 1 if mm.group(2) else None
                members.append((mm.group(1), mm.group(4), length))
        c_members = sources.structs[struct]
        if [n.lower() for n, _, _ in members] != [n.lower() for n, _, _ in c_members]:
            problems.append('%s has the members %s, %s has %s' % (vba_type, [n for n, _, _ in members], struct,
                                                                  [n for n, _, _ in c_members]))
            continue
        offset = 0
        for (name, vtype, length), (cname, ctype, clength) in zip(members, c_members):
            width = VBA_WIDTHS.get(vtype)
            if width != C_WIDTHS[ctype] or length != clength:
                problems.append('%s.%s is %s%s, %s.%s is %s%s' % (vba_type, name, vtype, '' if length is None else '(%d)' % length,
                                                                   struct, cname, ctype, '' if clength is None else '[%d]' % clength))
                break
            offset = (offset + width - 1) // width * width
            if offset != sources.layout[(struct, cname)]:
                problems.append('%s.%s lies at offset %d, offsetof(%s, %s) is %d' % (
                    vba_type, name, offset, struct, cname, sources.layout[(struct, cname)]))
            offset += width * (length or 1)
        else:
            alignment = max(VBA_WIDTHS[t] for _, t, _ in members)
            size = (offset + alignment - 1) // alignment * alignment
            if size != sources.layout[('sizeof', struct)]:
                problems.append('%s has %d bytes, sizeof(%s) is %d' % (vba_type, size, struct, sources.layout[('sizeof', struct)]))
    return problems


def check_readme_example(bas, readme):
    """The README's VBA example uses only what the module makes public."""
    public = set(re.findall(r'^Public\s+(?:Declare\s+(?:PtrSafe\s+)?)?(?:Function|Sub|Const|Type|Enum)\s+(\w+)', bas, re.M))
    problems = []
    for block in re.findall(r'```vba\n(.*?)```', readme, re.S):
        used = set(re.findall(r'\b(Kn[A-Z]\w*|korvatlib_\w+|KORVAT_\w+|DEVICE_TYPE_\w+|KN_\w+|ENABLE_ACCESS_TO_TARGET|'
                              r'WAITING_ACCESS_TO_TARGET)\b', block))
        problems += ['the README example uses %s, which the module does not make public' % name
                     for name in sorted(used - public)]
    return problems


def check_module(bas, sources):
    problems = []
    if not bas.startswith('Attribute VB_Name = "KorvatNfc"'):
        problems.append('the module does not start with its Attribute VB_Name line')
    if not re.search(r'^Option Explicit$', bas, re.M):
        problems.append('Option Explicit is missing')
    depth = 0
    for line in bas.splitlines():
        word = line.strip().split(' ')[0].lower()
        depth += 1 if word == '#if' else -1 if word == '#end' else 0
        if depth < 0:
            break
    if depth != 0:
        problems.append('#If and #End If do not pair up')
    else:
        problems += check_declares(bas, sources)
    return (problems + check_constants(bas, sources) + check_records(bas, sources) + check_mirrored_types(bas, sources) +
            check_readme_example(bas, sources.readme))


# One fault each, as an edit of the module's text; the check must report a line containing `finds`.
FAULTS = [
    ('ByRef where ByVal belongs', 'ByVal target_device As Long) As Byte', 'ByRef target_device As Long) As Byte',
     'target_device as "ByRef Long"'),
    ('a 4-byte boolean result', '(ByVal timeout As Long) As Byte', '(ByVal timeout As Long) As Long', 'As Byte'),
    ('a handle as Long', 'ByVal handle As LongPtr, ByVal msg_str_of_find As String, ByVal msg_str_of_enable',
     'ByVal handle As Long, ByVal msg_str_of_find As String, ByVal msg_str_of_enable', 'handle as "ByVal Long"'),
    ('two parameters swapped', '(ByRef message As Byte, ByVal capacity As Long, ByRef message_size As Long, ByRef uri',
     '(ByRef message As Byte, ByRef message_size As Long, ByVal capacity As Long, ByRef uri', 'parameter "message_size"'),
    ('a UTF-8 URI passed as an ANSI string', 'ByRef message_size As Long, ByRef uri As Byte) As Byte',
     'ByRef message_size As Long, ByVal uri As String) As Byte', 'uri "https://example.com/p'),
    ('UTF-8 bytes made in the ANSI code page', 'size = WideCharToMultiByte(65001, 0,', 'size = WideCharToMultiByte(0, 0,',
     "KnUtf8Bytes' bytes, which are not UTF-8"),
    ('PtrSafe missing on x64', 'Public Declare PtrSafe Function korvatlib_nfc_close', 'Public Declare Function '
     'korvatlib_nfc_close', 'needs PtrSafe'),
    ('the cdecl DLL declared for 32-bit VBA', 'korvatlib_tags_format Lib "korvat_nfc_stdcall.dll"',
     'korvatlib_tags_format Lib "korvat_nfc_tags.dll"', 'not "korvat_nfc_stdcall.dll"'),
    ('an export declared twice', 'Public Declare Function korvatlib_nfc_stop_logging Lib "korvat_nfc_stdcall.dll" () As Byte',
     'Public Declare Function korvatlib_nfc_stop_logging Lib "korvat_nfc_stdcall.dll" () As Byte\n'
     'Public Declare Function korvatlib_nfc_stop_logging Lib "korvat_nfc_stdcall.dll" () As Byte', 'declared 2 times'),
    ('an export left out', 'Public Declare PtrSafe Function korvatlib_nfc_select_device Lib '
     '"korvat_nfc_library_for_vb.dll" () As Byte\n', '', 'korvatlib_nfc_select_device is declared 0 times'),
    ('PtrSafe where VB6 reads it', 'Public Declare Function korvatlib_nfc_thru', 'Public Declare PtrSafe Function '
     'korvatlib_nfc_thru', 'does not compile in VB6'),
    ('a wrong error value', 'KORVAT_TAGS_E_REFUSED As Long = &H80C00206', 'KORVAT_TAGS_E_REFUSED As Long = &H80C00216',
     'KORVAT_TAGS_E_REFUSED is'),
    ('a wrong error name', 'Case KORVAT_NFC_E_PORT_OPEN: KnErrorName = "KORVAT_NFC_E_PORT_OPEN"',
     'Case KORVAT_NFC_E_PORT_OPEN: KnErrorName = "KORVAT_NFC_E_PORT_NOT_OPEN"', 'for KORVAT_NFC_E_PORT_OPEN'),
    ('an offset of natural alignment', 'OFS_18092_TARGET_NUMBER As Long = 8', 'OFS_18092_TARGET_NUMBER As Long = 5',
     'OFS_18092_TARGET_NUMBER is 5'),
    ('a word read as a half word', 'KnU32(b, OFS_NDEF_RECORD_PAYLOAD_SIZE)', 'KnU16(b, OFS_NDEF_RECORD_PAYLOAD_SIZE)',
     'payload_size (uint32_t) is read with KnU16'),
    ('a field never read', '    r.SelRes = b(OFS_14443A_SEL_RES)\n', '', 'sel_res is never read'),
    ('a variable field read at a fixed length', 'KnSlice(b, OFS_14443B_ATTRIB, r.AttribSize)',
     'KnSlice(b, OFS_14443B_ATTRIB, 12)', 'read as 12 bytes'),
    ('a helper the README uses made private', 'Public Function KnPairText', 'Private Function KnPairText',
     'README example uses KnPairText'),
    ('an array read short', 'KnSlice(b, OFS_18092_PAD, 8)', 'KnSlice(b, OFS_18092_PAD, 6)', 'Pad is 8 bytes, read as 6'),
    ('the event passed as a byte buffer', '(ByRef event_record As KnEvent, ByVal timeout_ms',
     '(ByRef event_record As Byte, ByVal timeout_ms', 'event as "ByRef Byte"'),
    ('the header\'s parameter name, a VBA keyword', 'ByRef event_record As KnEvent', 'ByRef event As KnEvent',
     'parameter "event" where the prototype has "event_record"'),
    ('a reader list without its count', '(ByRef records As KnReaderRecord, ByVal capacity As Long, ByRef count As Long)',
     '(ByRef records As KnReaderRecord, ByVal capacity As Long)', '2 parameters, the prototype has 3'),
    ('a new export left out of the companion branch', 'Public Declare Function korvatlib_nfc_set_event_queue Lib '
     '"korvat_nfc_stdcall.dll" (ByVal enabled As Long) As Byte\n', '', 'Win32: korvatlib_nfc_set_event_queue is declared 0 times'),
    ('a mirrored member of another width', '    error_code As Long', '    error_code As Integer',
     'KnEvent.error_code is Integer'),
    ('a mirrored array one short', 'data(0 To 287) As Byte', 'data(0 To 286) As Byte', 'KnEvent.data is Byte(287)'),
    ('a member that moves the rest', '    category As Byte ', '    category As Long ',
     'KnReaderRecord.category is Long'),
    ('two mirrored members swapped', '    error_code As Long\n    detail_code As Long',
     '    detail_code As Long\n    error_code As Long', 'KnEvent has the members'),
    ('a wrong lost-target wParam', 'KORVAT_NFC_LOST_TARGET As Long = 2', 'KORVAT_NFC_LOST_TARGET As Long = 1',
     'KORVAT_NFC_LOST_TARGET is'),
]


def self_test(bas, sources):
    failures = 0
    for what, old, new, finds in FAULTS:
        if old not in bas:
            print('self-test: "%s": the text to change is not in the module' % what)
            failures += 1
            continue
        problems = check_module(bas.replace(old, new, 1), sources)
        if not any(finds in p for p in problems):
            print('self-test: "%s" was not found; reported: %s' % (what, problems or 'nothing'))
            failures += 1
    return failures


def main():
    root, compiler = sys.argv[1], sys.argv[2]
    sources = Sources(root, compiler)
    bas = open(os.path.join(root, 'bindings', 'vba', 'KorvatNfc.bas'), newline='').read().replace('\r\n', '\n')
    if '--self-test' in sys.argv[3:]:
        failures = self_test(bas, sources)
        print('self-test: %d faults planted, %d not found' % (len(FAULTS), failures))
        return 1 if failures else 0
    problems = check_module(bas, sources)
    for p in problems:
        print(p)
    print('KorvatNfc.bas: %s' % ('%d problems' % len(problems) if problems else
                                 'declarations, constants and record offsets agree with the headers'))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())

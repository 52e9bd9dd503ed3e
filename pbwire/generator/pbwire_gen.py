#!/usr/bin/python3
"""Generates the C++ message code of the pbwire runtime from .proto files.

Usage: pbwire_gen.py [-I DIR]... -o OUTDIR [--test-helpers] FILE.proto...

For each FILE.proto it writes OUTDIR/FILE.h and OUTDIR/FILE.cpp: one plain
structure per message (`<name>_t`, first member the heap pointer), one
enumeration per enum (`<name>_e` with constants `_<value>_e`), and per message
the function family _new, _encode, _decode, _init, _encode_inner,
_decode_inner, _encode_repeated_inner, _decode_repeated_inner and one _alloc
per repeated or sub-message field. String and sub-message members carry the
suffix `_p`; scalars, bytes and repeated fields do not. A map field is a
repeated entry message `<message>_pbwire_map_<field>` with `key`/`value`
members.

With --test-helpers it writes FILE_test_helpers.h/.cpp instead: functions that
fill every field of a message with varied values and print a message in the
text format of the reference compiler, plus a table of the file's messages.
They are for the round-trip tests and are never linked into a product.

The accepted language is the proto3 subset the agents use: syntax, package,
import, top-level messages and enums, singular, repeated and map fields of
every scalar type, strings, bytes, enums and messages. Anything else
(proto2, nested types, oneof, optional, field options, services) is refused
with a message naming the file and line.
"""

import argparse
import os
import re
import sys

SCALARS = {
    # proto type: (C type, runtime name, repeated holder, repeated-info counter)
    "int32": ("int32_t", "int32", "int32", "varint"),
    "int64": ("int64_t", "int64", "int64", "varint"),
    "uint32": ("uint32_t", "uint32", "uint32", "varint"),
    "uint64": ("uint64_t", "uint64", "uint64", "varint"),
    "sint32": ("int32_t", "sint32", "int32", "varint"),
    "sint64": ("int64_t", "sint64", "int64", "varint"),
    "fixed32": ("uint32_t", "fixed32", "uint32", "fixed32"),
    "fixed64": ("uint64_t", "fixed64", "uint64", "fixed64"),
    "sfixed32": ("int32_t", "sfixed32", "int32", "fixed32"),
    "sfixed64": ("int64_t", "sfixed64", "int64", "fixed64"),
    "float": ("float", "float", "float", "fixed32"),
    "double": ("double", "double", "double", "fixed64"),
    "bool": ("bool", "bool", "bool", "varint"),
}
MAP_KEY_TYPES = set(SCALARS) - {"float", "double"} | {"string"}
MAX_FIELD_NUMBER = (1 << 29) - 1


class ProtoError(Exception):
    pass


# ---- parsing ----------------------------------------------------------------

TOKEN_RE = re.compile(
    r"""
    (?P<ws>[ \t\r\n]+)
  | (?P<line_comment>//[^\n]*)
  | (?P<block_comment>/\*.*?\*/)
  | (?P<string>"(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*')
  | (?P<number>-?(?:0[xX][0-9a-fA-F]+|[0-9]+))
  | (?P<ident>[A-Za-z_][A-Za-z0-9_.]*)
  | (?P<symbol>[{}\[\]()<>=;,])
    """,
    re.VERBOSE | re.DOTALL,
)


class Token:
    def __init__(self, kind, text, line, comments):
        self.kind = kind
        self.text = text
        self.line = line
        self.comments = comments  # comment lines directly before the token


def tokenize(path, text):
    tokens = []
    pos = 0
    line = 1
    pending = []
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        if m is None:
            raise ProtoError("%s:%d: unexpected character %r" % (path, line, text[pos]))
        kind = m.lastgroup
        value = m.group(kind)
        if kind == "ws":
            # A blank line separates a comment from what follows.
            if value.count("\n") > 1:
                pending = []
        elif kind == "line_comment":
            # A comment on the line of the previous token belongs to that
            # token and is not kept; one on its own line documents the next.
            if not (tokens and tokens[-1].line == line):
                pending.append(value[2:].strip())
        elif kind == "block_comment":
            pass
        else:
            tokens.append(Token(kind, value, line, pending))
            pending = []
        line += value.count("\n")
        pos = m.end()
    return tokens


class Field:
    def __init__(self, name, number, type_name, label, line):
        self.name = name
        self.number = number
        self.type_name = type_name  # scalar name, "string", "bytes" or a type name
        self.label = label  # "", "repeated" or "map"
        self.line = line
        self.kind = None  # "scalar", "string", "bytes", "enum", "message"
        self.ref = None  # Message or Enum for enum and message fields
        self.map_key = None
        self.map_value = None


class Message:
    def __init__(self, name, proto, comments):
        self.name = name
        self.proto = proto
        self.comments = comments
        self.fields = []
        self.map_entry = False

    @property
    def c_name(self):
        return self.proto.prefix + self.name


class Enum:
    def __init__(self, name, proto, comments):
        self.name = name
        self.proto = proto
        self.comments = comments
        self.values = []  # (name, number)

    @property
    def c_name(self):
        return self.proto.prefix + self.name + "_e"

    def value_c_name(self, value):
        return self.proto.prefix + "_" + value + "_e"


class Proto:
    def __init__(self, path):
        self.path = path
        self.module = os.path.splitext(os.path.basename(path))[0]
        self.package = ""
        self.prefix = ""
        self.imports = []
        self.messages = []
        self.enums = []
        self.comments = []
        self.imported = []  # Proto objects
        self.resolved = False


class Parser:
    def __init__(self, path, tokens):
        self.path = path
        self.tokens = tokens
        self.pos = 0

    def error(self, message, token=None):
        token = token or self.peek()
        line = token.line if token else "end"
        return ProtoError("%s:%s: %s" % (self.path, line, message))

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else None

    def next(self):
        token = self.peek()
        if token is None:
            raise self.error("unexpected end of file")
        self.pos += 1
        return token

    def expect(self, text):
        token = self.next()
        if token.text != text:
            raise self.error("expected %r, found %r" % (text, token.text), token)
        return token

    def ident(self):
        token = self.next()
        if token.kind != "ident":
            raise self.error("expected a name, found %r" % token.text, token)
        return token.text

    def number(self):
        token = self.next()
        if token.kind != "number":
            raise self.error("expected a number, found %r" % token.text, token)
        return int(token.text, 0)

    def string(self):
        token = self.next()
        if token.kind != "string":
            raise self.error("expected a string, found %r" % token.text, token)
        return token.text[1:-1]

    def parse(self):
        proto = Proto(self.path)
        first = self.peek()
        if first is None or first.text != "syntax":
            raise self.error("the file must start with syntax = \"proto3\";", first)
        proto.comments = first.comments
        self.next()
        self.expect("=")
        if self.string() != "proto3":
            raise self.error("only proto3 is supported")
        self.expect(";")
        while self.peek() is not None:
            token = self.peek()
            if token.text == "package":
                self.next()
                proto.package = self.ident()
                proto.prefix = proto.package.replace(".", "_") + "_"
                self.expect(";")
            elif token.text == "import":
                self.next()
                if self.peek().text in ("public", "weak"):
                    raise self.error("import %s is not supported" % self.peek().text)
                proto.imports.append(self.string())
                self.expect(";")
            elif token.text == "option":
                self.skip_statement()
            elif token.text == "message":
                proto.messages.append(self.parse_message(proto))
            elif token.text == "enum":
                proto.enums.append(self.parse_enum(proto))
            elif token.text == ";":
                self.next()
            else:
                raise self.error("%r is not supported here" % token.text)
        return proto

    def skip_statement(self):
        while self.next().text != ";":
            pass

    def parse_enum(self, proto):
        comments = self.next().comments
        enum = Enum(self.ident(), proto, comments)
        self.expect("{")
        while self.peek().text != "}":
            token = self.peek()
            if token.text == "option" or token.text == "reserved":
                self.skip_statement()
                continue
            if token.text == ";":
                self.next()
                continue
            name = self.ident()
            self.expect("=")
            value = self.number()
            if self.peek().text == "[":
                raise self.error("enum value options are not supported")
            self.expect(";")
            enum.values.append((name, value))
        self.expect("}")
        if not enum.values or enum.values[0][1] != 0:
            raise self.error("the first value of enum %s must be 0" % enum.name)
        return enum

    def parse_message(self, proto):
        comments = self.next().comments
        message = Message(self.ident(), proto, comments)
        self.expect("{")
        while self.peek().text != "}":
            token = self.peek()
            if token.text in ("option", "reserved"):
                self.skip_statement()
                continue
            if token.text == ";":
                self.next()
                continue
            if token.text in ("message", "enum", "oneof", "extensions", "extend", "group",
                              "optional", "required"):
                raise self.error("%r is not supported in a message" % token.text)
            message.fields.append(self.parse_field())
        self.expect("}")
        numbers = set()
        names = set()
        for field in message.fields:
            if field.number in numbers:
                raise self.error("field number %d used twice in %s" % (field.number, message.name))
            if field.name in names:
                raise self.error("field %s defined twice in %s" % (field.name, message.name))
            numbers.add(field.number)
            names.add(field.name)
        return message

    def parse_field(self):
        line = self.peek().line
        label = ""
        if self.peek().text == "repeated":
            self.next()
            label = "repeated"
        if self.peek().text == "map":
            if label:
                raise self.error("a map cannot be repeated")
            self.next()
            self.expect("<")
            key = self.ident()
            self.expect(",")
            value = self.ident()
            self.expect(">")
            name = self.ident()
            self.expect("=")
            number = self.number()
            self.end_field()
            field = Field(name, number, None, "map", line)
            field.map_key = key
            field.map_value = value
            if key not in MAP_KEY_TYPES:
                raise self.error("map key type %s is not supported" % key)
        else:
            type_name = self.ident()
            name = self.ident()
            self.expect("=")
            number = self.number()
            self.end_field()
            field = Field(name, number, type_name, label, line)
        if not 1 <= field.number <= MAX_FIELD_NUMBER or 19000 <= field.number <= 19999:
            raise self.error("field number %d is out of range" % field.number)
        if not re.match(r"^[a-z_][a-z0-9_]*$", field.name):
            raise self.error("field name %s must be lower_snake" % field.name)
        return field

    def end_field(self):
        if self.peek().text == "[":
            raise self.error("field options are not supported")
        self.expect(";")


def load(path, include_dirs, cache):
    real = os.path.realpath(path)
    if real in cache:
        proto = cache[real]
        if proto is None:
            raise ProtoError("%s: import cycle" % path)
        return proto
    cache[real] = None
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise ProtoError("%s: %s" % (path, e.strerror))
    proto = Parser(path, tokenize(path, text)).parse()
    for name in proto.imports:
        for directory in [os.path.dirname(path)] + include_dirs:
            candidate = os.path.join(directory, name)
            if os.path.exists(candidate):
                proto.imported.append(load(candidate, include_dirs, cache))
                break
        else:
            raise ProtoError("%s: import %s not found" % (path, name))
    cache[real] = proto
    return proto


def resolve(proto):
    """Resolves the type of every field and adds the map entry messages."""
    if proto.resolved:
        return
    proto.resolved = True
    for imported in proto.imported:
        resolve(imported)
    types = {}

    def add_types(p, seen):
        if id(p) in seen:
            return
        seen.add(id(p))
        for t in p.messages + p.enums:
            types[t.name] = t
            if p.package:
                types[p.package + "." + t.name] = t
        for q in p.imported:
            add_types(q, seen)

    add_types(proto, set())
    c_names = {}
    for message in list(proto.messages):
        for field in message.fields:
            if field.label == "map":
                entry = Message("%s_pbwire_map_%s" % (message.name, field.name), proto, [])
                entry.map_entry = True
                key = Field("key", 1, field.map_key, "", field.line)
                value = Field("value", 2, field.map_value, "", field.line)
                entry.fields = [key, value]
                for f in entry.fields:
                    resolve_field(proto, message, f, types)
                if value.kind == "message":
                    raise ProtoError("%s:%d: map values of message type are not supported"
                                     % (proto.path, field.line))
                proto.messages.insert(proto.messages.index(message), entry)
                field.kind = "message"
                field.ref = entry
            else:
                resolve_field(proto, message, field, types)
    for t in proto.messages + proto.enums:
        c_name = t.c_name
        if c_name in c_names:
            raise ProtoError("%s: %s and %s give the same C name" % (proto.path, t.name,
                                                                      c_names[c_name]))
        c_names[c_name] = t.name


def resolve_field(proto, message, field, types):
    name = field.type_name
    if name in SCALARS:
        field.kind = "scalar"
    elif name in ("string", "bytes"):
        field.kind = name
    else:
        ref = types.get(name.lstrip("."))
        if ref is None:
            raise ProtoError("%s:%d: unknown type %s in %s" % (proto.path, field.line, name,
                                                               message.name))
        field.ref = ref
        field.kind = "enum" if isinstance(ref, Enum) else "message"


# ---- naming -------------------------------------------------------------------


def member(field):
    """Name of the field's member in the generated structure."""
    if field.label == "" and field.kind in ("string", "message"):
        return field.name + "_p"
    return field.name


def c_type(field):
    """C type of one value of the field (the item type for repeated fields)."""
    if field.kind == "scalar":
        return SCALARS[field.type_name][0]
    if field.kind == "string":
        return "const char *"
    if field.kind == "bytes":
        return "pbwire_bytes_t"
    if field.kind == "enum":
        return field.ref.c_name
    return field.ref.c_name + "_t"


def holder_type(field):
    """Type of a repeated or map member."""
    if field.kind == "scalar":
        return "pbwire_repeated_%s_t" % SCALARS[field.type_name][2]
    if field.kind == "enum":
        return "pbwire_repeated_int32_t"
    if field.kind in ("string", "bytes"):
        return "pbwire_repeated_%s_t" % field.kind
    return field.ref.c_name + "_repeated_t"


def runtime_name(field):
    """Suffix of the runtime reader/writer for the field's type."""
    if field.kind == "scalar":
        return SCALARS[field.type_name][1]
    return field.kind


def is_repeated(field):
    return field.label in ("repeated", "map")


def guard_name(module, suffix):
    return "PBWIRE_GEN_%s%s_H" % (re.sub(r"[^A-Za-z0-9]", "_", module).upper(), suffix)


def comment_lines(lines, indent=""):
    return "".join("%s// %s\n" % (indent, line) if line else "%s//\n" % indent for line in lines)


# ---- product code --------------------------------------------------------------


class Thunks:
    """Static adapters from the typed functions to the runtime's callbacks."""

    def __init__(self):
        self.used = {}  # c_name -> set of kinds, in first-use order

    def use(self, message, kind):
        self.used.setdefault(message.c_name, set()).add(kind)
        return "%s_%s_thunk" % (message.c_name, kind)

    def emit(self):
        out = []
        for name, kinds in self.used.items():
            if "init" in kinds:
                out.append(
                    "void %s_init_thunk(void *message_p, pbwire_heap_t *heap_p) {\n"
                    "  %s_init(static_cast<%s_t *>(message_p), heap_p);\n}\n\n" % (name, name, name))
            if "encode_inner" in kinds:
                out.append(
                    "void %s_encode_inner_thunk(pbwire_encoder_t *encoder_p, const void *message_p) {\n"
                    "  %s_encode_inner(encoder_p, static_cast<const %s_t *>(message_p));\n}\n\n"
                    % (name, name, name))
            if "decode_inner" in kinds:
                out.append(
                    "void %s_decode_inner_thunk(pbwire_decoder_t *decoder_p, void *message_p) {\n"
                    "  %s_decode_inner(decoder_p, static_cast<%s_t *>(message_p));\n}\n\n"
                    % (name, name, name))
        return "".join(out)


def generate_header(proto, source_name):
    out = []
    out.append("// Generated by pbwire_gen.py from %s; do not edit.\n" % source_name)
    out.append("//\n")
    out.append(comment_lines(proto.comments))
    if proto.comments:
        out.append("//\n")
    out.append(comment_lines([
        "Each message T has a structure T_t and these functions:",
        "  T_new(workspace, size): makes the heap in the workspace and an initialised",
        "    message in it; null when the workspace is under 16 bytes or too small.",
        "  T_encode(self, buf, size): encoded length, or -PBWIRE_* (the buffer must be",
        "    one byte larger than the encoding).",
        "  T_decode(self, buf, size): bytes consumed, or -PBWIRE_*; self must come from",
        "    T_new, and decoded strings, bytes and arrays live in its workspace.",
        "  T_<field>_alloc(self[, length]): 0, or -1 when the workspace is exhausted;",
        "    allocates and initialises a sub-message or the items of a repeated field.",
        "  T_init, T_encode_inner, T_decode_inner, T_encode_repeated_inner,",
        "    T_decode_repeated_inner and, for flat messages (single scalars, enums,",
        "    strings and bytes only), T_flat_encode_field serve the generated code",
        "    of other messages.",
        "Messages belong to the thread that builds or decodes them.",
    ]))
    guard = guard_name(proto.module, "")
    out.append("#ifndef %s\n#define %s\n\n" % (guard, guard))
    out.append("#include <cstddef>\n#include <cstdint>\n\n#include \"pbwire.h\"\n")
    for imported in proto.imported:
        out.append("#include \"%s.h\"\n" % imported.module)
    out.append("\n")
    for enum in proto.enums:
        out.append(comment_lines(enum.comments))
        out.append("enum %s : int32_t {\n" % enum.c_name)
        for name, value in enum.values:
            out.append("  %s = %d,\n" % (enum.value_c_name(name), value))
        out.append("};\n\n")
    for message in proto.messages:
        out.append("struct %s_t;\n" % message.c_name)
    out.append("\n")
    for message in proto.messages:
        out.append("struct %s_repeated_t {\n  int32_t length;\n  struct %s_t *items_p;\n};\n"
                   % (message.c_name, message.c_name))
    out.append("\n")
    for message in proto.messages:
        out.append(comment_lines(message.comments))
        out.append("struct %s_t {\n  pbwire_message_base_t base;\n" % message.c_name)
        for field in message.fields:
            if is_repeated(field):
                out.append("  %s %s;\n" % (holder_type(field), member(field)))
            elif field.kind == "message":
                out.append("  struct %s *%s;\n" % (c_type(field), member(field)))
            elif field.kind == "string":
                out.append("  const char *%s;\n" % member(field))
            else:
                out.append("  %s %s;\n" % (c_type(field), member(field)))
        out.append("};\n\n")
    for message in proto.messages:
        n = message.c_name
        out.append("%s_t *%s_new(void *workspace_p, size_t size);\n" % (n, n))
        out.append("int %s_encode(const %s_t *self_p, void *encoded_p, size_t size);\n" % (n, n))
        out.append("int %s_decode(%s_t *self_p, const void *encoded_p, size_t size);\n" % (n, n))
        out.append("void %s_init(%s_t *self_p, pbwire_heap_t *heap_p);\n" % (n, n))
        out.append("void %s_encode_inner(pbwire_encoder_t *encoder_p, const %s_t *self_p);\n"
                   % (n, n))
        out.append("void %s_decode_inner(pbwire_decoder_t *decoder_p, %s_t *self_p);\n" % (n, n))
        out.append("void %s_encode_repeated_inner(pbwire_encoder_t *encoder_p, int field_number,\n"
                   "    const %s_repeated_t *repeated_p);\n" % (n, n))
        out.append("void %s_decode_repeated_inner(pbwire_decoder_t *decoder_p,\n"
                   "    pbwire_repeated_info_t *repeated_info_p, %s_repeated_t *repeated_p);\n"
                   % (n, n))
        if is_flat(message):
            out.append("uint8_t *%s_flat_encode_field(uint8_t *dst_p, const uint8_t *limit_p,\n"
                       "    int field_number, const %s_t *self_p);\n" % (n, n))
        for field in message.fields:
            if is_repeated(field):
                out.append("int %s_%s_alloc(%s_t *self_p, int length);\n" % (n, field.name, n))
            elif field.kind == "message":
                out.append("int %s_%s_alloc(%s_t *self_p);\n" % (n, field.name, n))
        out.append("\n")
    out.append("#endif  // %s\n" % guard)
    return "".join(out)


def gen_init(message):
    n = message.c_name
    lines = ["void %s_init(%s_t *self_p, pbwire_heap_t *heap_p) {" % (n, n),
             "  self_p->base.heap_p = heap_p;"]
    for field in message.fields:
        m = member(field)
        if is_repeated(field):
            lines.append("  self_p->%s.length = 0;" % m)
            lines.append("  self_p->%s.items_p = nullptr;" % m)
        elif field.kind == "string":
            lines.append("  self_p->%s = pbwire_empty_string;" % m)
        elif field.kind == "bytes":
            lines.append("  self_p->%s.buf_p = nullptr;" % m)
            lines.append("  self_p->%s.size = 0;" % m)
        elif field.kind == "message":
            lines.append("  self_p->%s = nullptr;" % m)
        elif field.kind == "enum":
            lines.append("  self_p->%s = static_cast<%s>(0);" % (m, field.ref.c_name))
        elif field.type_name == "bool":
            lines.append("  self_p->%s = false;" % m)
        else:
            lines.append("  self_p->%s = 0;" % m)
    lines.append("}\n")
    return "\n".join(lines) + "\n"


def gen_encode_inner(message, thunks):
    n = message.c_name
    lines = ["void %s_encode_inner(pbwire_encoder_t *encoder_p, const %s_t *self_p) {" % (n, n)]
    if not message.fields:
        lines += ["  (void)encoder_p;", "  (void)self_p;"]
    # Scalars are written by inline writers into a local copy of the encoder,
    # which the compiler can keep in registers (byte stores through the
    # buffer could alias *encoder_p, but not a local whose address never
    # escapes). Around out-of-line writers the copy is stored back and
    # reloaded.
    inline = [f for f in message.fields if not is_repeated(f) and f.kind in ("scalar", "enum")]
    local = False  # whether the local copy holds the current state
    if inline:
        # Member by member: a 16-byte copy right after the 4-byte stores of
        # the position would stall on store forwarding.
        lines.append("  pbwire_encoder_t encoder;")
        lines.append("  encoder.buf_p = encoder_p->buf_p;")
        lines.append("  encoder.size = encoder_p->size;")
        lines.append("  encoder.pos = encoder_p->pos;")
        local = True
    # Backwards encoder: highest field first gives ascending order on the wire.
    for field in sorted(message.fields, key=lambda f: -f.number):
        m = member(field)
        num = field.number
        if field in inline:
            if not local:
                lines.append("  encoder.pos = encoder_p->pos;")
                local = True
            lines.append("  pbwire_encoder_write_%s(&encoder, %d, self_p->%s);"
                         % (runtime_name(field), num, m))
            continue
        if local and inline:
            lines.append("  encoder_p->pos = encoder.pos;")
            local = False
        if is_repeated(field):
            if field.kind == "message":
                lines.append("  %s_encode_repeated_inner(encoder_p, %d, &self_p->%s);"
                             % (field.ref.c_name, num, m))
            else:
                lines.append("  pbwire_encoder_write_repeated_%s(encoder_p, %d, &self_p->%s);"
                             % (runtime_name(field), num, m))
        elif field.kind == "message":
            lines.append("  pbwire_encoder_sub_message_encode(encoder_p, %d, self_p->%s, %s);"
                         % (num, m, thunks.use(field.ref, "encode_inner")))
        elif field.kind == "bytes":
            lines.append("  pbwire_encoder_write_bytes(encoder_p, %d, &self_p->%s);" % (num, m))
        else:
            lines.append("  pbwire_encoder_write_%s(encoder_p, %d, self_p->%s);"
                         % (runtime_name(field), num, m))
    if local and inline:
        lines.append("  encoder_p->pos = encoder.pos;")
    lines.append("}\n")
    return "\n".join(lines) + "\n"


def repeated_counter(field):
    if field.kind == "message":
        return "pbwire_repeated_info_decode"
    if field.kind in ("string", "bytes"):
        return "pbwire_repeated_info_decode_" + field.kind
    if field.kind == "enum":
        return "pbwire_repeated_info_decode_varint"
    return "pbwire_repeated_info_decode_" + SCALARS[field.type_name][3]


def gen_decode_inner(message, thunks):
    n = message.c_name
    lines = ["void %s_decode_inner(pbwire_decoder_t *decoder_p, %s_t *self_p) {" % (n, n)]
    repeated = [f for f in message.fields if is_repeated(f)]
    for field in repeated:
        lines.append("  pbwire_repeated_info_t %s_info;" % field.name)
        lines.append("  pbwire_repeated_info_init(&%s_info, %d);" % (field.name, field.number))
    if not message.fields:
        lines.append("  (void)self_p;")
    lines.append("  int wire_type;")
    lines.append("  while (pbwire_decoder_available(decoder_p)) {")
    lines.append("    switch (pbwire_decoder_read_tag(decoder_p, &wire_type)) {")
    for field in message.fields:
        m = member(field)
        lines.append("      case %d:" % field.number)
        if is_repeated(field):
            lines.append("        %s(&%s_info, decoder_p, wire_type);"
                         % (repeated_counter(field), field.name))
        elif field.kind == "message":
            t = field.ref.c_name
            lines.append("        self_p->%s = static_cast<%s_t *>(pbwire_decoder_sub_message_decode("
                         % (m, t))
            lines.append("            decoder_p, wire_type, sizeof(%s_t), %s, %s));"
                         % (t, thunks.use(field.ref, "init"), thunks.use(field.ref, "decode_inner")))
        elif field.kind == "bytes":
            lines.append("        pbwire_decoder_read_bytes(decoder_p, wire_type, &self_p->%s);" % m)
        elif field.kind == "enum":
            lines.append("        self_p->%s = static_cast<%s>(pbwire_decoder_read_enum(decoder_p, "
                         "wire_type));" % (m, field.ref.c_name))
        else:
            lines.append("        self_p->%s = pbwire_decoder_read_%s(decoder_p, wire_type);"
                         % (m, runtime_name(field)))
        lines.append("        break;")
    lines.append("      default:")
    lines.append("        pbwire_decoder_skip_field(decoder_p, wire_type);")
    lines.append("        break;")
    lines.append("    }")
    lines.append("  }")
    for field in repeated:
        m = member(field)
        if field.kind == "message":
            lines.append("  %s_decode_repeated_inner(decoder_p, &%s_info, &self_p->%s);"
                         % (field.ref.c_name, field.name, m))
        else:
            lines.append("  pbwire_decoder_decode_repeated_%s(decoder_p, &%s_info, &self_p->%s);"
                         % (runtime_name(field), field.name, m))
    lines.append("}\n")
    return "\n".join(lines) + "\n"


def gen_allocs(message, thunks):
    n = message.c_name
    out = []
    for field in message.fields:
        m = member(field)
        if is_repeated(field):
            out.append("int %s_%s_alloc(%s_t *self_p, int length) {" % (n, field.name, n))
            if field.kind == "message":
                t = field.ref.c_name
                out.append("  void *items_p;")
                out.append("  if (pbwire_alloc_repeated(self_p->base.heap_p, length, sizeof(%s_t), %s,"
                           % (t, thunks.use(field.ref, "init")))
                out.append("                            &items_p) != 0) {")
                out.append("    return -1;")
                out.append("  }")
                out.append("  self_p->%s.items_p = static_cast<%s_t *>(items_p);" % (m, t))
                out.append("  self_p->%s.length = length;" % m)
                out.append("  return 0;")
            else:
                holder = holder_type(field)[len("pbwire_repeated_"):-2]
                out.append("  return pbwire_alloc_repeated_%s(&self_p->%s, self_p->base.heap_p, length);"
                           % (holder, m))
            out.append("}\n")
        elif field.kind == "message":
            t = field.ref.c_name
            out.append("int %s_%s_alloc(%s_t *self_p) {" % (n, field.name, n))
            out.append("  void *message_p = pbwire_sub_message_alloc(self_p->base.heap_p, sizeof(%s_t), %s);"
                       % (t, thunks.use(field.ref, "init")))
            out.append("  if (message_p == nullptr) {")
            out.append("    return -1;")
            out.append("  }")
            out.append("  self_p->%s = static_cast<%s_t *>(message_p);" % (m, t))
            out.append("  return 0;")
            out.append("}\n")
    return "\n".join(out) + ("\n" if out else "")

# ---- forward encoding ------------------------------------------------------------
#
# Flat messages (single scalars, enums, strings and bytes only) and messages
# made of such fields and of single or repeated flat sub-messages are encoded
# forwards by _encode, into place: no final move of the result. See the
# "Forward writing" part of pbwire.h.

FLAT_KINDS = ("scalar", "enum", "string", "bytes")

# Most bytes of a varint value by type: 64-bit and sign-extended values take
# 10, uint32 and zigzagged sint32 5, a bool 1.
VARINT_BOUNDS = {"int32": 10, "int64": 10, "uint32": 5, "uint64": 10, "sint32": 5,
                 "sint64": 10, "bool": 1}
FIXED_BOUNDS = {"fixed32": 4, "sfixed32": 4, "float": 4, "fixed64": 8, "sfixed64": 8,
                "double": 8}


def is_flat(message):
    return all(f.label == "" and f.kind in FLAT_KINDS for f in message.fields)


def writes_forwards(message):
    for f in message.fields:
        if f.kind == "message":
            if f.label not in ("", "repeated") or not is_flat(f.ref):
                return False
        elif f.label != "" or f.kind not in FLAT_KINDS:
            return False
    return True


def varint_size(value):
    size = 1
    while value >= 0x80:
        value >>= 7
        size += 1
    return size


def field_bound(field):
    """Most bytes of a flat field without a string's or bytes' own length."""
    key = varint_size(field.number << 3)
    if field.kind == "enum":
        return key + 10
    if field.kind in ("string", "bytes"):
        return key + 5
    if field.type_name in VARINT_BOUNDS:
        return key + VARINT_BOUNDS[field.type_name]
    return key + FIXED_BOUNDS[field.type_name]


def put_call(field, dst, length=None):
    m = member(field)
    if field.kind == "string":
        return "pbwire_put_string(%s, %d, self_p->%s, %s)" % (dst, field.number, m, length)
    if field.kind == "bytes":
        return "pbwire_put_bytes(%s, %d, &self_p->%s)" % (dst, field.number, m)
    return "pbwire_put_%s(%s, %d, self_p->%s)" % (runtime_name(field), dst, field.number, m)


def gen_flat(message):
    if not is_flat(message):
        return ""
    n = message.c_name
    fields = sorted(message.fields, key=lambda f: f.number)
    strings = [f for f in fields if f.kind == "string"]
    out = ["namespace {\n",
           "// Upper bound of the encoding; stores each string's length in lengths_p.",
           "inline size_t %s_flat_bound(const %s_t *self_p, size_t *lengths_p) {" % (n, n),
           "  size_t bound = %d;" % sum(field_bound(f) for f in fields)]
    if not strings:
        out.append("  (void)lengths_p;")
    if not any(f.kind in ("string", "bytes") for f in fields):
        out.append("  (void)self_p;")
    for f in fields:
        if f.kind == "string":
            index = strings.index(f)
            out.append("  lengths_p[%d] = pbwire_string_length(self_p->%s);" % (index, member(f)))
            out.append("  bound += pbwire_bound_length(lengths_p[%d]);" % index)
        elif f.kind == "bytes":
            out.append("  bound += pbwire_bytes_bound_length(&self_p->%s);" % member(f))
    out += ["  return bound;", "}\n",
            "// Writes every field in number order. REQUIRES: room for the bound.",
            "inline uint8_t *%s_flat_write(uint8_t *dst_p, const %s_t *self_p,"
            " const size_t *lengths_p) {" % (n, n)]
    if not strings:
        out.append("  (void)lengths_p;")
    if not fields:
        out.append("  (void)self_p;")
    for f in fields:
        length = "lengths_p[%d]" % strings.index(f) if f.kind == "string" else None
        out.append("  dst_p = %s;" % put_call(f, "dst_p", length))
    out += ["  return dst_p;", "}\n", "}  // namespace\n",
            "uint8_t *%s_flat_encode_field(uint8_t *dst_p, const uint8_t *limit_p,"
            " int field_number," % n,
            "    const %s_t *self_p) {" % n,
            "  size_t lengths[%d];" % max(1, len(strings)),
            "  size_t bound = %s_flat_bound(self_p, lengths);" % n,
            "  size_t width = static_cast<size_t>(pbwire_varint_size(bound));",
            "  size_t key_size = static_cast<size_t>("
            "pbwire_varint_size(static_cast<uint64_t>(field_number) << 3));",
            "  if (static_cast<size_t>(limit_p - dst_p) < key_size + width + bound) {",
            "    return nullptr;",
            "  }",
            "  uint8_t *length_p = pbwire_put_key(dst_p, field_number,"
            " PBWIRE_WIRE_TYPE_LENGTH_DELIMITED);",
            "  uint8_t *content_p = length_p + width;",
            "  return pbwire_put_reserved_length(length_p, content_p,"
            " %s_flat_write(content_p, self_p, lengths));" % n,
            "}\n"]
    return "\n".join(out) + "\n"


def gen_forward(message):
    if not writes_forwards(message):
        return ""
    n = message.c_name
    out = ["namespace {\n",
           "// The whole message, forwards from dst_p; null when a bound does not fit",
           "// before limit_p (the real encoding may still fit).",
           "uint8_t *%s_forward(uint8_t *dst_p, const uint8_t *limit_p, const %s_t *self_p) {"
           % (n, n)]
    if is_flat(message):
        strings = [f for f in message.fields if f.kind == "string"]
        out += ["  size_t lengths[%d];" % max(1, len(strings)),
                "  if (static_cast<size_t>(limit_p - dst_p) < %s_flat_bound(self_p, lengths)) {"
                % n,
                "    return nullptr;",
                "  }",
                "  return %s_flat_write(dst_p, self_p, lengths);" % n,
                "}\n"]
    else:
        def sub_message(f, item):
            return ["    dst_p = %s_flat_encode_field(dst_p, limit_p, %d, %s);"
                    % (f.ref.c_name, f.number, item),
                    "    if (dst_p == nullptr) {",
                    "      return nullptr;",
                    "    }",
                    "  }"]
        for f in sorted(message.fields, key=lambda f: f.number):
            m = member(f)
            if f.kind == "message" and f.label == "repeated":
                out += ["  for (int32_t i = 0; self_p->%s.items_p != nullptr && i < self_p->%s.length;"
                        " i++) {" % (m, m)] + sub_message(f, "&self_p->%s.items_p[i]" % m)
                continue
            if f.kind == "message":
                out += ["  if (self_p->%s != nullptr) {" % m] + sub_message(f, "self_p->%s" % m)
                continue
            out.append("  {")
            length = None
            extra = ""
            if f.kind == "string":
                out.append("    size_t length = pbwire_string_length(self_p->%s);" % m)
                length = "length"
                extra = " + length"
            elif f.kind == "bytes":
                out.append("    size_t length = pbwire_bytes_bound_length(&self_p->%s);" % m)
                extra = " + length"
            out += ["    if (static_cast<size_t>(limit_p - dst_p) < %d%s) {" % (field_bound(f), extra),
                    "      return nullptr;",
                    "    }",
                    "    dst_p = %s;" % put_call(f, "dst_p", length),
                    "  }"]
        if not message.fields:
            out += ["  (void)limit_p;", "  (void)self_p;"]
        out += ["  return dst_p;", "}\n"]
    out.append("}  // namespace\n")
    return "\n".join(out) + "\n"


def gen_encode(message, enc):
    n = message.c_name
    if not writes_forwards(message):
        return ("int %s_encode(const %s_t *self_p, void *encoded_p, size_t size) {\n"
                "  return pbwire_message_encode(self_p, encoded_p, size, %s);\n"
                "}\n\n" % (n, n, enc))
    return (
        "int %s_encode(const %s_t *self_p, void *encoded_p, size_t size) {\n"
        "  if (encoded_p != nullptr && size > 0) {\n"
        "    // The room of the backwards encoder: all but one byte, 2 GiB - 1 at most.\n"
        "    uint8_t *buf_p = static_cast<uint8_t *>(encoded_p);\n"
        "    const uint8_t *limit_p = buf_p + (size < INT32_MAX ? size : INT32_MAX) - 1;\n"
        "    uint8_t *end_p = %s_forward(buf_p, limit_p, self_p);\n"
        "    if (end_p != nullptr) {\n"
        "      return static_cast<int>(end_p - buf_p);\n"
        "    }\n"
        "  }\n"
        "  // A bound did not fit: the exact backwards encoder decides.\n"
        "  return pbwire_message_encode(self_p, encoded_p, size, %s);\n"
        "}\n\n" % (n, n, n, enc))


def gen_family(message, thunks):
    n = message.c_name
    init = thunks.use(message, "init")
    enc = thunks.use(message, "encode_inner")
    dec = thunks.use(message, "decode_inner")
    return (
        "%s_t *%s_new(void *workspace_p, size_t size) {\n"
        "  return static_cast<%s_t *>(pbwire_message_new(workspace_p, size, sizeof(%s_t), %s));\n"
        "}\n\n"
        "%s"
        "int %s_decode(%s_t *self_p, const void *encoded_p, size_t size) {\n"
        "  return pbwire_message_decode(self_p, encoded_p, size, %s, %s);\n"
        "}\n\n"
        "void %s_encode_repeated_inner(pbwire_encoder_t *encoder_p, int field_number,\n"
        "    const %s_repeated_t *repeated_p) {\n"
        "  if (repeated_p->items_p == nullptr) {\n"
        "    return;\n"
        "  }\n"
        "  // Last item first: the backwards encoder leaves them in array order.\n"
        "  for (int32_t i = repeated_p->length - 1; i >= 0 && encoder_p->pos >= 0; i--) {\n"
        "    int32_t end = encoder_p->pos;\n"
        "    %s_encode_inner(encoder_p, &repeated_p->items_p[i]);\n"
        "    pbwire_encoder_write_length_key(encoder_p, field_number, end);\n"
        "  }\n"
        "}\n\n"
        "void %s_decode_repeated_inner(pbwire_decoder_t *decoder_p,\n"
        "    pbwire_repeated_info_t *repeated_info_p, %s_repeated_t *repeated_p) {\n"
        "  void *items_p;\n"
        "  pbwire_decode_repeated_inner(decoder_p, repeated_info_p, sizeof(%s_t), %s, %s, &items_p,\n"
        "                               &repeated_p->length);\n"
        "  repeated_p->items_p = static_cast<%s_t *>(items_p);\n"
        "}\n\n"
        % (n, n, n, n, init, gen_encode(message, enc), n, n, init, dec, n, n, n, n, n, n, init,
           dec, n))


def generate_source(proto, source_name):
    thunks = Thunks()
    body = []
    for message in proto.messages:
        body.append(gen_flat(message))
        body.append(gen_forward(message))
        body.append(gen_family(message, thunks))
        body.append(gen_init(message))
        body.append(gen_encode_inner(message, thunks))
        body.append(gen_decode_inner(message, thunks))
        body.append(gen_allocs(message, thunks))
    out = ["// Generated by pbwire_gen.py from %s; do not edit.\n" % source_name,
           "#include \"%s.h\"\n\n" % proto.module]
    if thunks.used:
        out.append("namespace {\n\n")
        out.append(thunks.emit())
        out.append("}  // namespace\n\n")
    out.extend(body)
    return "".join(out)


# ---- test helpers ----------------------------------------------------------------


def has_map(message, seen=None):
    seen = seen or set()
    if id(message) in seen:
        return False
    seen.add(id(message))
    for field in message.fields:
        if field.label == "map":
            return True
        if field.kind == "message" and has_map(field.ref, seen):
            return True
    return False


def gen_test_fill(message):
    n = message.c_name
    lines = ["void %s_test_fill(%s_t *self_p, pbwire_test_rng_t *rng_p) {" % (n, n)]
    if not message.fields:
        lines += ["  (void)self_p;", "  (void)rng_p;"]
    for field in message.fields:
        m = member(field)
        if field.label == "map":
            entry = field.ref
            key, value = entry.fields
            lines.append("  {")
            lines.append("    int count = pbwire_test_count(rng_p);")
            lines.append("    if (%s_%s_alloc(self_p, count) == 0) {" % (n, field.name))
            lines.append("      for (int i = 0; i < count; i++) {")
            lines.append("        %s_t *entry_p = &self_p->%s.items_p[i];" % (entry.c_name, m))
            lines.append("        %s" % value_fill("entry_p->" + member(key), key, "entry_p->base.heap_p",
                                                   map_key_index="i"))
            lines.append("        %s" % value_fill("entry_p->" + member(value), value,
                                                   "entry_p->base.heap_p"))
            lines.append("      }")
            lines.append("    }")
            lines.append("  }")
        elif field.label == "repeated":
            lines.append("  {")
            lines.append("    int count = pbwire_test_count(rng_p);")
            lines.append("    if (%s_%s_alloc(self_p, count) == 0) {" % (n, field.name))
            lines.append("      for (int i = 0; i < count; i++) {")
            if field.kind == "message":
                lines.append("        %s_test_fill(&self_p->%s.items_p[i], rng_p);"
                             % (field.ref.c_name, m))
            else:
                lines.append("        %s" % value_fill("self_p->%s.items_p[i]" % m, field,
                                                       "self_p->base.heap_p", repeated=True))
            lines.append("      }")
            lines.append("    }")
            lines.append("  }")
        elif field.kind == "message":
            lines.append("  if (pbwire_test_present(rng_p) && %s_%s_alloc(self_p) == 0) {"
                         % (n, field.name))
            lines.append("    %s_test_fill(self_p->%s, rng_p);" % (field.ref.c_name, m))
            lines.append("  }")
        else:
            lines.append("  %s" % value_fill("self_p->" + m, field, "self_p->base.heap_p"))
    lines.append("}\n")
    return "\n".join(lines) + "\n"


def value_fill(target, field, heap, repeated=False, map_key_index=None):
    """A statement storing a test value of `field` in `target`; map keys are
    made distinct from the entry index."""
    if map_key_index is not None:
        if field.kind == "string":
            return "%s = pbwire_test_map_key(rng_p, %s, %s);" % (target, heap, map_key_index)
        return "%s = static_cast<%s>(%s + 1);" % (target, c_type(field), map_key_index)
    repeated_arg = "true" if repeated else "false"
    if field.kind == "string":
        return "%s = pbwire_test_string(rng_p, %s);" % (target, repeated_arg)
    if field.kind == "bytes":
        return "%s = pbwire_test_bytes(rng_p, %s);" % (target, repeated_arg)
    if field.kind == "enum":
        values = ", ".join(str(v) for _, v in field.ref.values)
        if repeated:
            return ("{ static const int32_t values[] = {%s}; %s = pbwire_test_enum(rng_p, values, %d); }"
                    % (values, target, len(field.ref.values)))
        return ("{ static const int32_t values[] = {%s}; %s = static_cast<%s>(pbwire_test_enum(rng_p, "
                "values, %d)); }" % (values, target, field.ref.c_name, len(field.ref.values)))
    return "%s = pbwire_test_%s(rng_p, %s);" % (target, field.type_name, repeated_arg)


def print_call(field, value_expr, force, indent="indent"):
    """A statement printing one value of `field`."""
    force_arg = "true" if force else "false"
    if field.kind == "string":
        return "pbwire_test_print_string(out_p, %s, \"%s\", %s, %s);" % (indent, field.name,
                                                                          value_expr, force_arg)
    if field.kind == "bytes":
        return "pbwire_test_print_bytes(out_p, %s, \"%s\", &%s, %s);" % (indent, field.name,
                                                                          value_expr, force_arg)
    if field.kind == "enum":
        return ("pbwire_test_print_enum(out_p, %s, \"%s\", %s, &%s_test_names, %s);"
                % (indent, field.name, value_expr, field.ref.c_name, force_arg))
    t = field.type_name
    if t in ("float", "double", "bool"):
        fn = t
    elif t in ("int32", "int64", "sint32", "sint64", "sfixed32", "sfixed64"):
        fn = "signed"
    else:
        fn = "unsigned"
    return "pbwire_test_print_%s(out_p, %s, \"%s\", %s, %s);" % (fn, indent, field.name,
                                                                 value_expr, force_arg)


def gen_test_print(message):
    n = message.c_name
    lines = ["void %s_test_print(const %s_t *self_p, std::string *out_p, int indent) {" % (n, n)]
    if not message.fields:
        lines += ["  (void)self_p;", "  (void)out_p;", "  (void)indent;"]
    # The reference compiler prints fields in field-number order.
    for field in sorted(message.fields, key=lambda f: f.number):
        m = member(field)
        if field.label == "map":
            entry = field.ref
            key, value = entry.fields
            lines.append("  {")
            lines.append("    std::vector<const %s_t *> entries;" % entry.c_name)
            lines.append("    for (int i = 0; i < self_p->%s.length; i++) {" % m)
            lines.append("      entries.push_back(&self_p->%s.items_p[i]);" % m)
            lines.append("    }")
            # Map entries come out sorted by key.
            if key.kind == "string":
                lines.append("    std::stable_sort(entries.begin(), entries.end(), [](auto a, auto b) {")
                lines.append("      return std::string(a->key_p) < std::string(b->key_p);")
                lines.append("    });")
            else:
                lines.append("    std::stable_sort(entries.begin(), entries.end(), [](auto a, auto b) {")
                lines.append("      return a->key < b->key;")
                lines.append("    });")
            lines.append("    for (const %s_t *entry_p : entries) {" % entry.c_name)
            lines.append("      pbwire_test_print_open(out_p, indent, \"%s\");" % field.name)
            # Map entries print key and value even when they hold defaults.
            for f in (key, value):
                lines.append("      %s" % print_call(f, "entry_p->" + member(f), True, "indent + 2"))
            lines.append("      pbwire_test_print_close(out_p, indent);")
            lines.append("    }")
            lines.append("  }")
        elif field.label == "repeated":
            lines.append("  for (int i = 0; i < self_p->%s.length; i++) {" % m)
            if field.kind == "message":
                lines.append("    pbwire_test_print_open(out_p, indent, \"%s\");" % field.name)
                lines.append("    %s_test_print(&self_p->%s.items_p[i], out_p, indent + 2);"
                             % (field.ref.c_name, m))
                lines.append("    pbwire_test_print_close(out_p, indent);")
            else:
                lines.append("    %s" % print_call(field, "self_p->%s.items_p[i]" % m, True))
            lines.append("  }")
        elif field.kind == "message":
            lines.append("  if (self_p->%s != nullptr) {" % m)
            lines.append("    pbwire_test_print_open(out_p, indent, \"%s\");" % field.name)
            lines.append("    %s_test_print(self_p->%s, out_p, indent + 2);" % (field.ref.c_name, m))
            lines.append("    pbwire_test_print_close(out_p, indent);")
            lines.append("  }")
        else:
            lines.append("  %s" % print_call(field, "self_p->" + m, False))
    lines.append("}\n")
    return "\n".join(lines) + "\n"


def generate_test_header(proto, source_name):
    guard = guard_name(proto.module, "_TEST_HELPERS")
    out = ["// Generated by pbwire_gen.py from %s for the tests; do not edit.\n" % source_name,
           "// Fills messages with varied values and prints them in the reference text format.\n",
           "#ifndef %s\n#define %s\n\n" % (guard, guard),
           "#include <string>\n\n#include \"%s.h\"\n#include \"pbwire_test_support.h\"\n" % proto.module]
    for imported in proto.imported:
        out.append("#include \"%s_test_helpers.h\"\n" % imported.module)
    out.append("\n")
    for enum in proto.enums:
        out.append("extern const pbwire_test_enum_names_t %s_test_names;\n" % enum.c_name)
    for message in proto.messages:
        n = message.c_name
        out.append("void %s_test_fill(%s_t *self_p, pbwire_test_rng_t *rng_p);\n" % (n, n))
        out.append("void %s_test_print(const %s_t *self_p, std::string *out_p, int indent);\n" % (n, n))
    out.append("\nextern const pbwire_test_message_t %s_test_messages[];\n" % proto.module)
    out.append("extern const int %s_test_message_count;\n" % proto.module)
    out.append("\n#endif  // %s\n" % guard)
    return "".join(out)


def generate_test_source(proto, source_name, proto_path, include_dir):
    out = ["// Generated by pbwire_gen.py from %s for the tests; do not edit.\n" % source_name,
           "#include \"%s_test_helpers.h\"\n\n#include <algorithm>\n#include <vector>\n\n"
           % proto.module]
    for enum in proto.enums:
        out.append("namespace {\nconst pbwire_test_enum_value_t %s_test_values[] = {\n" % enum.c_name)
        for name, value in enum.values:
            out.append("    {%d, \"%s\"},\n" % (value, name))
        out.append("};\n}  // namespace\n\n")
        out.append("const pbwire_test_enum_names_t %s_test_names = {%s_test_values, %d};\n\n"
                   % (enum.c_name, enum.c_name, len(enum.values)))
    for message in proto.messages:
        out.append(gen_test_fill(message))
        out.append(gen_test_print(message))
    out.append("namespace {\n\n")
    top = [m for m in proto.messages if not m.map_entry]
    for message in top:
        n = message.c_name
        out.append(
            "void *%s_test_new(void *workspace_p, size_t size) {\n"
            "  return %s_new(workspace_p, size);\n}\n"
            "void %s_test_fill_thunk(void *self_p, pbwire_test_rng_t *rng_p) {\n"
            "  %s_test_fill(static_cast<%s_t *>(self_p), rng_p);\n}\n"
            "void %s_test_print_thunk(const void *self_p, std::string *out_p) {\n"
            "  %s_test_print(static_cast<const %s_t *>(self_p), out_p, 0);\n}\n"
            "int %s_test_encode(const void *self_p, void *encoded_p, size_t size) {\n"
            "  return %s_encode(static_cast<const %s_t *>(self_p), encoded_p, size);\n}\n"
            "int %s_test_decode(void *self_p, const void *encoded_p, size_t size) {\n"
            "  return %s_decode(static_cast<%s_t *>(self_p), encoded_p, size);\n}\n\n"
            % (n, n, n, n, n, n, n, n, n, n, n, n, n, n))
    out.append("}  // namespace\n\n")
    out.append("const pbwire_test_message_t %s_test_messages[] = {\n" % proto.module)
    for message in top:
        n = message.c_name
        out.append("    {\"%s\", \"%s\", \"%s\", %s, %s_test_new, %s_test_fill_thunk,\n"
                   "     %s_test_print_thunk, %s_test_encode, %s_test_decode},\n"
                   % (message.name, proto_path, include_dir, "true" if has_map(message) else "false",
                      n, n, n, n, n))
    out.append("};\n")
    out.append("const int %s_test_message_count = %d;\n" % (proto.module, len(top)))
    return "".join(out)


# ---- main ----------------------------------------------------------------------


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    parser = argparse.ArgumentParser(description="pbwire message code generator")
    parser.add_argument("-I", dest="include_dirs", action="append", default=[],
                        help="directory searched for imported files")
    parser.add_argument("-o", dest="output_dir", required=True, help="output directory")
    parser.add_argument("--test-helpers", action="store_true",
                        help="write the test helpers instead of the message code")
    parser.add_argument("protos", nargs="+")
    args = parser.parse_args(argv)
    cache = {}
    try:
        os.makedirs(args.output_dir, exist_ok=True)
        for path in args.protos:
            proto = load(path, args.include_dirs, cache)
            resolve(proto)
            name = os.path.basename(path)
            if args.test_helpers:
                include_dir = os.path.dirname(os.path.abspath(path))
                write_if_changed(os.path.join(args.output_dir, proto.module + "_test_helpers.h"),
                                 generate_test_header(proto, name))
                write_if_changed(os.path.join(args.output_dir, proto.module + "_test_helpers.cpp"),
                                 generate_test_source(proto, name, os.path.abspath(path), include_dir))
            else:
                write_if_changed(os.path.join(args.output_dir, proto.module + ".h"),
                                 generate_header(proto, name))
                write_if_changed(os.path.join(args.output_dir, proto.module + ".cpp"),
                                 generate_source(proto, name))
    except ProtoError as e:
        print("pbwire_gen: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

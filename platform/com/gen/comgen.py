#!/usr/bin/env python3
"""The type library compiler of the automation runtime.

Reads a type library source in the usual IDL syntax (the subset that the
system's contract uses: enums, dual interfaces, dispinterfaces, coclasses,
one library) and the registry scripts that a resource script names, and
writes one header and one source file:

  the header: enums, IIDs/CLSIDs/LIBID, the interfaces in vtable order (no
  virtual destructor), __uuidof bindings, the table bindings, and the
  client wrappers (raising _com_error) behind the XxxPtr smart pointers;
  the source: the identifiers, the dispatch tables with one Invoke thunk
  per member (argument conversion, [out] handling, property get and put),
  the dispinterface tables for event sinks, the enums, coclasses and the
  compiled registry scripts, registered with the runtime at start-up.

Usage: comgen.py --idl FILE [--rc FILE] --header OUT.h --source OUT.cpp
"""

import argparse
import os
import re
import sys


class IdlError(Exception):
    pass


# ---- Tokens -------------------------------------------------------------------

TOKEN_RE = re.compile(r"""
    (?P<ws>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<guid>[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12})
  | (?P<string>"(?:[^"\\\n]|\\.)*")
  | (?P<number>0[xX][0-9A-Fa-f]+|-?\d+(?:\.\d+)?)
  | (?P<ident>[A-Za-z_][A-Za-z_0-9]*)
  | (?P<punct>[\[\](){};,*=:])
""", re.VERBOSE | re.DOTALL)


class Token:
    def __init__(self, kind, text, line):
        self.kind, self.text, self.line = kind, text, line

    def __repr__(self):
        return "%s %r" % (self.kind, self.text)


def tokenize(text, path):
    tokens, pos, line = [], 0, 1
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        if not m:
            raise IdlError("%s:%d: unexpected character %r" % (path, line, text[pos]))
        kind = m.lastgroup
        value = m.group(kind)
        if kind not in ("ws", "comment"):
            tokens.append(Token(kind, value, line))
        line += value.count("\n")
        pos = m.end()
    tokens.append(Token("eof", "", line))
    return tokens


# ---- Model -------------------------------------------------------------------------

BASE_TYPES = {
    # idl name: (VARTYPE, C++ type)
    "BSTR": ("VT_BSTR", "BSTR"),
    "long": ("VT_I4", "LONG"),
    "short": ("VT_I2", "SHORT"),
    "float": ("VT_R4", "FLOAT"),
    "double": ("VT_R8", "DOUBLE"),
    "DATE": ("VT_DATE", "DATE"),
    "VARIANT_BOOL": ("VT_BOOL", "VARIANT_BOOL"),
    "VARIANT": ("VT_VARIANT", "VARIANT"),
}


class Param:
    def __init__(self, name, type_name, pointers, attrs, line):
        self.name, self.type_name, self.pointers, self.attrs, self.line = (
            name, type_name, pointers, attrs, line)
        self.is_in = "in" in attrs or ("out" not in attrs)
        self.is_out = "out" in attrs
        self.is_retval = "retval" in attrs


class Member:
    def __init__(self, name, dispid, kind, params, help_string, line):
        self.name, self.dispid, self.kind, self.params, self.help_string, self.line = (
            name, dispid, kind, params, help_string, line)
        self.slot = None


class Interface:
    def __init__(self, name, iid, base, help_string, dispinterface, line):
        self.name, self.iid, self.base, self.help_string = name, iid, base, help_string
        self.dispinterface, self.line = dispinterface, line
        self.members = []


class Enum:
    def __init__(self, name, guid, help_string, values):
        self.name, self.guid, self.help_string, self.values = name, guid, help_string, values


class CoClass:
    def __init__(self, name, clsid, help_string, creatable, default, source):
        self.name, self.clsid, self.help_string = name, clsid, help_string
        self.creatable, self.default, self.source = creatable, default, source


class Library:
    def __init__(self):
        self.name = None
        self.libid = None
        self.version = (1, 0)
        self.lcid = 0
        self.help_string = ""
        self.interfaces = []
        self.enums = []
        self.coclasses = []
        self.forward = set()


# ---- Parser --------------------------------------------------------------------------

class Parser:
    def __init__(self, tokens, path):
        self.t, self.i, self.path = tokens, 0, path
        self.lib = Library()

    def peek(self, k=0):
        return self.t[self.i + k]

    def error(self, message, token=None):
        token = token or self.peek()
        raise IdlError("%s:%d: %s" % (self.path, token.line, message))

    def take(self, text=None, kind=None):
        tok = self.peek()
        if text is not None and tok.text != text:
            self.error("expected %r, found %r" % (text, tok.text or "end of file"))
        if kind is not None and tok.kind != kind:
            self.error("expected %s, found %r" % (kind, tok.text or "end of file"))
        self.i += 1
        return tok

    def accept(self, text):
        if self.peek().text == text:
            self.i += 1
            return True
        return False

    def attributes(self):
        """[name, name(value), ...] -> ordered dict name -> value (None)."""
        attrs = {}
        if not self.accept("["):
            return attrs
        while not self.accept("]"):
            name = self.take(kind="ident").text
            value = None
            if self.accept("("):
                parts = []
                while not self.accept(")"):
                    tok = self.take()
                    if tok.kind == "eof":
                        self.error("unterminated attribute %s" % name)
                    parts.append(tok.text)
                value = "".join(parts)
            if name in attrs:
                self.error("attribute %s given twice" % name)
            attrs[name] = value
            if not self.accept(","):
                self.take("]")
                break
        return attrs

    def string_attr(self, attrs, name):
        value = attrs.get(name)
        if value is None:
            return ""
        if not (value.startswith('"') and value.endswith('"')):
            self.error("%s needs a quoted string" % name)
        return bytes(value[1:-1], "utf-8").decode("unicode_escape")

    def guid_attr(self, attrs, what):
        value = attrs.get("uuid")
        if not value or not re.fullmatch(r"[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}", value):
            self.error("%s needs uuid(...)" % what)
        return value.upper()

    def parse(self):
        while self.peek().kind != "eof":
            self.item(top=True)
        if not self.lib.name:
            self.error("no library block")
        return self.lib

    def item(self, top):
        if self.peek().text == "import":
            self.take()
            self.take(kind="string")
            self.take(";")
            return
        if self.peek().text == "importlib":
            self.take()
            self.take("(")
            self.take(kind="string")
            self.take(")")
            self.take(";")
            return
        if self.peek().text == "typedef":
            self.take()
            attrs = self.attributes()
            self.enum(attrs)
            return
        start = self.peek()
        attrs = self.attributes()
        keyword = self.take(kind="ident")
        if keyword.text == "interface":
            name = self.take(kind="ident").text
            if not attrs and self.accept(";"):
                self.lib.forward.add(name)
                return
            self.interface(name, attrs, keyword)
        elif keyword.text == "dispinterface":
            self.dispinterface(attrs, keyword)
        elif keyword.text == "coclass":
            self.coclass(attrs)
        elif keyword.text == "library" and top:
            self.library(attrs)
        else:
            self.error("unexpected %r" % keyword.text, start)

    def enum(self, attrs):
        self.take("enum")
        name = self.take(kind="ident").text
        self.take("{")
        values, next_value = [], 0
        while not self.accept("}"):
            member = self.take(kind="ident").text
            if self.accept("="):
                next_value = int(self.take(kind="number").text, 0)
            values.append((member, next_value))
            next_value += 1
            if not self.accept(","):
                self.take("}")
                break
        alias = self.take(kind="ident").text
        if alias != name:
            self.error("typedef name %s differs from enum %s" % (alias, name))
        self.take(";")
        self.lib.enums.append(Enum(name, self.guid_attr(attrs, "enum " + name),
                                   self.string_attr(attrs, "helpstring"), values))

    def interface(self, name, attrs, keyword):
        self.take(":")
        base = self.take(kind="ident").text
        if base not in ("IDispatch", "IUnknown"):
            self.error("interface %s must derive from IDispatch" % name)
        if "dual" not in attrs:
            self.error("interface %s: only dual interfaces are supported" % name)
        itf = Interface(name, self.guid_attr(attrs, "interface " + name), base,
                        self.string_attr(attrs, "helpstring"), False, keyword.line)
        self.take("{")
        while not self.accept("}"):
            itf.members.append(self.member())
        self.take(";")
        self.lib.interfaces.append(itf)

    def dispinterface(self, attrs, keyword):
        name = self.take(kind="ident").text
        itf = Interface(name, self.guid_attr(attrs, "dispinterface " + name), "IDispatch",
                        self.string_attr(attrs, "helpstring"), True, keyword.line)
        self.take("{")
        self.take("properties")
        self.take(":")
        self.take("methods")
        self.take(":")
        while not self.accept("}"):
            itf.members.append(self.member())
        self.take(";")
        self.lib.interfaces.append(itf)

    def member(self):
        start = self.peek()
        attrs = self.attributes()
        ret = self.take(kind="ident").text
        if ret != "HRESULT":
            self.error("member must return HRESULT", start)
        name = self.take(kind="ident").text
        if attrs.get("id") is None:
            self.error("member %s needs id(...)" % name, start)
        dispid = int(attrs["id"], 0)
        kind = "method"
        if "propget" in attrs:
            kind = "propget"
        elif "propput" in attrs:
            kind = "propput"
        self.take("(")
        params = []
        if not self.accept(")"):
            while True:
                params.append(self.param())
                if self.accept(")"):
                    break
                self.take(",")
        self.take(";")
        return Member(name, dispid, kind, params, self.string_attr(attrs, "helpstring"), start.line)

    def param(self):
        start = self.peek()
        attrs = self.attributes()
        type_name = self.take(kind="ident").text
        pointers = 0
        while self.accept("*"):
            pointers += 1
        name = self.take(kind="ident").text
        return Param(name, type_name, pointers, attrs, start.line)

    def coclass(self, attrs):
        name = self.take(kind="ident").text
        default = source = None
        self.take("{")
        while not self.accept("}"):
            a = self.attributes()
            kw = self.take(kind="ident").text
            if kw not in ("interface", "dispinterface"):
                self.error("coclass %s: expected interface" % name)
            itf = self.take(kind="ident").text
            self.take(";")
            if "source" in a:
                source = itf
            elif "default" in a or default is None:
                default = itf
        self.take(";")
        self.lib.coclasses.append(CoClass(name, self.guid_attr(attrs, "coclass " + name),
                                          self.string_attr(attrs, "helpstring"),
                                          "noncreatable" not in attrs, default, source))

    def library(self, attrs):
        lib = self.lib
        if lib.name:
            self.error("a second library block")
        lib.name = self.take(kind="ident").text
        lib.libid = self.guid_attr(attrs, "library " + lib.name)
        version = attrs.get("version", "1.0")
        major, _, minor = version.partition(".")
        lib.version = (int(major), int(minor or 0))
        lib.lcid = int(attrs.get("lcid") or "0", 0)
        lib.help_string = self.string_attr(attrs, "helpstring")
        self.take("{")
        while not self.accept("}"):
            self.item(top=False)
        self.take(";")


# ---- Checks ---------------------------------------------------------------------------

def check(lib, path):
    enums = {e.name for e in lib.enums}
    interfaces = {i.name: i for i in lib.interfaces}
    names = set()
    for kind, name in ([("enum", e.name) for e in lib.enums] +
                       [("interface", i.name) for i in lib.interfaces] +
                       [("coclass", c.name) for c in lib.coclasses]):
        if name in names:
            raise IdlError("%s: %s %s defined twice" % (path, kind, name))
        names.add(name)

    def fail(member, message):
        raise IdlError("%s:%d: %s: %s" % (path, member.line, member.name, message))

    for itf in lib.interfaces:
        seen = {}
        for index, m in enumerate(itf.members):
            m.slot = 7 + index
            key = (m.dispid, m.kind)
            if key in seen or (m.kind == "method" and any(d == m.dispid for d, _ in seen)) or (
                    m.kind != "method" and (m.dispid, "method") in seen):
                fail(m, "DISPID %d used twice" % m.dispid)
            seen[key] = m
            for k, p in enumerate(m.params):
                if p.type_name not in BASE_TYPES and p.type_name not in enums and \
                        p.type_name not in interfaces and p.type_name not in ("IDispatch", "IUnknown"):
                    fail(m, "unknown type %s of %s" % (p.type_name, p.name))
                is_itf = p.type_name in interfaces or p.type_name in ("IDispatch", "IUnknown")
                want = (1 if is_itf else 0) + (1 if p.is_out else 0)
                if p.pointers != want:
                    fail(m, "parameter %s: %s needs %d '*'" % (p.name, p.type_name, want))
                if p.is_retval and (not p.is_out or k != len(m.params) - 1):
                    fail(m, "[retval] must be the last parameter and [out]")
                if itf.dispinterface and p.is_out:
                    fail(m, "event parameters are [in]")
            if m.kind == "propget" and (len(m.params) != 1 or not m.params[0].is_retval):
                fail(m, "a propget has one [out, retval] parameter")
            if m.kind == "propput" and (len(m.params) != 1 or m.params[0].is_out):
                fail(m, "a propput has one [in] parameter")
    for c in lib.coclasses:
        for itf in (c.default, c.source):
            if itf and itf not in interfaces:
                raise IdlError("%s: coclass %s names unknown interface %s" % (path, c.name, itf))


# ---- Registry scripts ---------------------------------------------------------------------

RGS_TOKEN_RE = re.compile(r"""
    (?P<ws>\s+)
  | (?P<guid>\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\})
  | (?P<string>'(?:[^']|'')*')
  | (?P<punct>[{}=])
  | (?P<word>[^\s{}='"]+)
""", re.VERBOSE)


def parse_rgs(text, path):
    tokens, pos, line = [], 0, 1
    while pos < len(text):
        m = RGS_TOKEN_RE.match(text, pos)
        if not m:
            raise IdlError("%s:%d: unexpected character %r" % (path, line, text[pos]))
        kind = m.lastgroup
        value = m.group(kind)
        if kind == "string":
            value = value[1:-1].replace("''", "'")
        if kind != "ws":
            tokens.append((kind, value, line))
        line += m.group(kind).count("\n")
        pos = m.end()
    tokens.append(("eof", "", line))
    nodes = []
    i = [0]

    def peek():
        return tokens[i[0]]

    def take(expect=None):
        tok = tokens[i[0]]
        if expect is not None and tok[1] != expect:
            raise IdlError("%s:%d: expected %r, found %r" % (path, tok[2], expect, tok[1]))
        i[0] += 1
        return tok

    def keys(depth):
        # Until the closing brace of this block.
        while peek()[1] != "}":
            tok = peek()
            if tok[0] == "eof":
                raise IdlError("%s:%d: unterminated block" % (path, tok[2]))
            if tok[0] == "word" and tok[1] == "val":
                take()
                name = take()[1]
                take("=")
                kind = take()[1]
                if kind not in ("s", "d"):
                    raise IdlError("%s:%d: value type must be s or d" % (path, tok[2]))
                data = take()
                if data[0] not in ("string", "word", "guid"):
                    raise IdlError("%s:%d: value of %s missing" % (path, tok[2], name))
                # A value belongs to the key whose block holds it: the last
                # key one level up.
                owner = [n for n in nodes if n["depth"] == depth - 1][-1]
                if owner["depth"] == 0:
                    raise IdlError("%s:%d: a value needs a key" % (path, tok[2]))
                owner["values"].append((name, kind, data[1]))
                continue
            flags = 0
            if tok[0] == "word" and tok[1] in ("NoRemove", "ForceRemove", "Delete"):
                if tok[1] == "Delete":
                    raise IdlError("%s:%d: Delete is not supported" % (path, tok[2]))
                flags = 1 if tok[1] == "NoRemove" else 2
                take()
            name_tok = take()
            if name_tok[0] not in ("word", "string", "guid"):
                raise IdlError("%s:%d: key name expected" % (path, name_tok[2]))
            node = {"depth": depth, "flags": flags, "name": name_tok[1], "default": None,
                    "values": []}
            nodes.append(node)
            if peek()[1] == "=":
                take()
                kind = take()[1]
                if kind != "s":
                    raise IdlError("%s:%d: a key's default value is a string" % (path, name_tok[2]))
                node["default"] = take()[1]
            if peek()[1] == "{":
                take()
                keys(depth + 1)
                take("}")

    while peek()[0] != "eof":
        root = take()
        if root[1] not in ("HKCR", "HKLM", "HKCU", "HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE",
                           "HKEY_CURRENT_USER"):
            raise IdlError("%s:%d: unknown root key %r" % (path, root[2], root[1]))
        nodes.append({"depth": 0, "flags": 0, "name": root[1], "default": None, "values": []})
        take("{")
        keys(1)
        take("}")
    return nodes


def parse_rc(path):
    scripts = []
    folder = os.path.dirname(path)
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("//")[0].strip()
            if not line:
                continue
            m = re.fullmatch(r'(\d+)\s+REGISTRY\s+"([^"]+)"', line)
            if not m:
                raise IdlError("%s:%d: expected: <number> REGISTRY \"file\"" % (path, number))
            rgs = os.path.join(folder, m.group(2))
            try:
                with open(rgs, encoding="utf-8") as r:
                    scripts.append((int(m.group(1)), rgs, parse_rgs(r.read(), rgs)))
            except OSError as e:
                raise IdlError("%s:%d: cannot read %s: %s" % (path, number, rgs, e.strerror))
    ids = [s[0] for s in scripts]
    if len(ids) != len(set(ids)):
        raise IdlError("%s: a resource number is used twice" % path)
    return scripts


# ---- Output helpers ---------------------------------------------------------------------

def c_string(s):
    if s is None:
        return "nullptr"
    out = []
    for ch in s:
        if ch in '\\"':
            out.append("\\" + ch)
        elif 32 <= ord(ch) < 127:
            out.append(ch)
        else:
            for b in ch.encode("utf-8"):
                out.append("\\%03o" % b)
    return '"' + "".join(out) + '"'


def guid_init(text):
    p = text.split("-")
    d4 = p[3] + p[4]
    return "{0x%s, 0x%s, 0x%s, {%s}}" % (p[0], p[1], p[2], ", ".join(
        "0x" + d4[k:k + 2] for k in range(0, 16, 2)))


class Types:
    def __init__(self, lib):
        self.enums = {e.name for e in lib.enums}
        self.interfaces = {i.name: i for i in lib.interfaces}

    def is_itf(self, p):
        return p.type_name in self.interfaces or p.type_name in ("IDispatch", "IUnknown")

    def vt(self, p):
        if p.type_name in BASE_TYPES:
            return BASE_TYPES[p.type_name][0]
        if p.type_name in self.enums:
            return "VT_I4"
        if p.type_name == "IUnknown":
            return "VT_UNKNOWN"
        return "VT_DISPATCH"

    def ctype(self, p):
        """The C++ type of the value (no pointer for [out])."""
        if p.type_name in BASE_TYPES:
            return BASE_TYPES[p.type_name][1]
        if self.is_itf(p):
            return p.type_name + "*"
        return p.type_name

    def decl(self, p):
        return self.ctype(p) + ("*" if p.is_out else "") + " " + p.name

    def iid_ref(self, p):
        if not self.is_itf(p):
            return "nullptr"
        if p.type_name in ("IDispatch", "IUnknown"):
            return "&IID_" + p.type_name
        itf = self.interfaces[p.type_name]
        return "&%sIID_%s" % ("D" if itf.dispinterface else "", itf.name)


def iid_name(itf):
    return ("DIID_" if itf.dispinterface else "IID_") + itf.name


def raw_name(m):
    if m.kind == "propget":
        return "get_" + m.name
    if m.kind == "propput":
        return "put_" + m.name
    return m.name


# Argument access of the thunks, by VARTYPE: (In, Out, Ret) helper names.
ACCESS = {
    "VT_BSTR": ("InBstr", "OutBstr", "RetBstr"),
    "VT_I2": ("InI2", "OutI2", "RetI2"),
    "VT_I4": ("InI4", "OutI4", "RetI4"),
    "VT_R4": ("InR4", "OutR4", "RetR4"),
    "VT_R8": ("InR8", "OutR8", "RetR8"),
    "VT_DATE": ("InDate", "OutDate", "RetDate"),
    "VT_BOOL": ("InBool", "OutBool", "RetBool"),
    "VT_VARIANT": ("InVariant", "OutVariant", "RetVariant"),
    "VT_DISPATCH": ("InItf", "OutDispatch", "RetDispatch"),
    "VT_UNKNOWN": ("InItf", "OutUnknown", "RetUnknown"),
}

FREE = {
    "VT_BSTR": "SysFreeString(%s);",
    "VT_VARIANT": "VariantClear(&%s);",
    "VT_DISPATCH": "if (%s) %s->Release();",
    "VT_UNKNOWN": "if (%s) %s->Release();",
}


def thunk(lib, types, itf, m, out):
    fn = "Invoke_%s_%s" % (itf.name, raw_name(m))
    ins = [p for p in m.params if not p.is_retval]
    out.append("HRESULT %s(void* itf, DISPPARAMS* params, VARIANT* result, UINT* argErr) {" % fn)
    out.append("  ::orvcom::Args args(params, argErr);")
    if not (m.params and m.params[-1].is_retval):
        out.append("  (void)result;  // no result: the caller's VARIANT stays as it is")
    out.append("  HRESULT hr = args.Expect(%d%s);" % (len(ins), ", true" if m.kind == "propput" else ""))
    out.append("  if (FAILED(hr)) return hr;")
    call_args, outs = [], []
    for k, p in enumerate(m.params):
        vt = types.vt(p)
        var = "a%d" % k
        if not p.is_out:
            if p.type_name in types.enums:
                out.append("  LONG %s_ = 0;" % var)
                out.append("  if (FAILED(hr = args.InI4(%d, &%s_))) return hr;" % (k, var))
                out.append("  %s %s = static_cast<%s>(%s_);" % (p.type_name, var, p.type_name, var))
            elif types.is_itf(p):
                out.append("  %s %s = nullptr;" % (types.ctype(p), var))
                out.append("  if (FAILED(hr = args.InItf(%d, *%s, reinterpret_cast<void**>(&%s)))) return hr;"
                           % (k, types.iid_ref(p), var))
            elif vt == "VT_VARIANT":
                out.append("  VARIANT %s;" % var)
                out.append("  if (FAILED(hr = args.InVariant(%d, &%s))) return hr;" % (k, var))
            else:
                out.append("  %s %s = 0;" % (types.ctype(p), var))
                out.append("  if (FAILED(hr = args.%s(%d, &%s))) return hr;" % (ACCESS[vt][0], k, var))
            call_args.append(var)
        else:
            if not p.is_retval:
                out.append("  if (FAILED(hr = args.CheckOut(%d, %s))) return hr;" % (k, vt))
            if vt == "VT_VARIANT":
                out.append("  VARIANT %s;" % var)
                out.append("  VariantInit(&%s);" % var)
            elif types.is_itf(p):
                out.append("  %s %s = nullptr;" % (types.ctype(p), var))
            elif p.type_name in types.enums:
                out.append("  %s %s = static_cast<%s>(0);" % (p.type_name, var, p.type_name))
            elif vt == "VT_BSTR":
                out.append("  BSTR %s = nullptr;" % var)
            else:
                out.append("  %s %s = 0;" % (types.ctype(p), var))
            call_args.append("&" + var)
            outs.append((k, p, var, vt))
    out.append("  hr = static_cast<%s*>(itf)->%s(%s);" % (itf.name, raw_name(m), ", ".join(call_args)))
    if outs:
        # A failing member hands nothing on; what it left behind is freed.
        frees = []
        for k, p, var, vt in outs:
            if vt in FREE:
                frees.append("    " + (FREE[vt] % ((var, var) if "%s->" in FREE[vt] else (var,))))
        out.append("  if (FAILED(hr)) {")
        out.extend(frees)
        out.append("    return hr;")
        out.append("  }")
        for k, p, var, vt in outs:
            value = var
            if p.type_name in types.enums:
                value = "static_cast<LONG>(%s)" % var
            elif vt == "VT_DISPATCH":
                value = "static_cast<IDispatch*>(%s)" % var
            elif vt == "VT_UNKNOWN":
                value = "static_cast<IUnknown*>(%s)" % var
            elif vt == "VT_VARIANT":
                value = "&" + var
            if p.is_retval:
                out.append("  ::orvcom::Args::%s(result, %s);" % (ACCESS[vt][2], value))
            else:
                out.append("  args.%s(%d, %s);" % (ACCESS[vt][1], k, value))
    out.append("  return hr;")
    out.append("}")
    out.append("")
    return fn


def wrapper_value_type(types, p):
    vt = types.vt(p)
    if vt == "VT_BSTR":
        return "_bstr_t"
    if vt == "VT_VARIANT":
        return "_variant_t"
    if types.is_itf(p):
        return p.type_name + "Ptr"
    return types.ctype(p)


def wrapper(types, itf, out):
    w = itf.name + "Wrapper"
    out.append("// Raising calls on %s: a failing HRESULT becomes a _com_error with the" % itf.name)
    out.append("// object's error information; [out, retval] values are returned.")
    out.append("class %s {" % w)
    out.append(" public:")
    out.append("  typedef %s Interface;" % itf.name)
    out.append("  explicit %s(%s* p) : p_(p) {}" % (w, itf.name))
    out.append("  HRESULT QueryInterface(REFIID iid, void** ppv) { return p_->QueryInterface(iid, ppv); }")
    out.append("  ULONG AddRef() { return p_->AddRef(); }")
    out.append("  ULONG Release() { return p_->Release(); }")
    used = set()
    for m in itf.members:
        name = {"propget": "Get", "propput": "Put"}.get(m.kind, "") + m.name
        if name in used:
            raise IdlError("%s: wrapper name %s of %s is used twice" % (itf.name, name, m.name))
        used.add(name)
        params, args, pre = [], [], []
        retval = m.params[-1] if m.params and m.params[-1].is_retval else None
        for p in m.params:
            if p is retval:
                continue
            vt = types.vt(p)
            if not p.is_out and vt == "VT_BSTR":
                params.append("const _bstr_t& " + p.name)
                args.append(p.name + ".GetBSTR()")
            elif not p.is_out and vt == "VT_VARIANT":
                params.append("const _variant_t& " + p.name)
                args.append("static_cast<const VARIANT&>(%s)" % p.name)
            else:
                params.append(types.decl(p))
                args.append(p.name)
        ret_type = wrapper_value_type(types, retval) if retval else "HRESULT"
        out.append("  %s %s(%s) {" % (ret_type, name, ", ".join(params)))
        if retval:
            vt = types.vt(retval)
            if vt == "VT_VARIANT":
                out.append("    VARIANT r;")
                out.append("    VariantInit(&r);")
            elif types.is_itf(retval):
                out.append("    %s r = nullptr;" % types.ctype(retval))
            elif retval.type_name in types.enums:
                out.append("    %s r = static_cast<%s>(0);" % (retval.type_name, retval.type_name))
            elif vt == "VT_BSTR":
                out.append("    BSTR r = nullptr;")
            else:
                out.append("    %s r = 0;" % types.ctype(retval))
            args.append("&r")
        out.append("    HRESULT hr = p_->%s(%s);" % (raw_name(m), ", ".join(args)))
        out.append("    if (FAILED(hr)) _com_issue_errorex(hr, p_, %s);" % iid_name(itf))
        if retval:
            vt = types.vt(retval)
            if vt == "VT_BSTR":
                out.append("    return _bstr_t(r, false);")
            elif vt == "VT_VARIANT":
                out.append("    return _variant_t(r, false);")
            elif types.is_itf(retval):
                out.append("    return %sPtr(r, false);" % retval.type_name)
            else:
                out.append("    return r;")
        else:
            out.append("    return hr;")
        out.append("  }")
    out.append("")
    out.append(" private:")
    out.append("  %s* p_;" % itf.name)
    out.append("};")
    out.append("")


def generate(lib, scripts, idl_path, header_name):
    types = Types(lib)
    src_name = os.path.basename(idl_path)
    h, c = [], []
    banner = "// Generated by comgen from %s; not to be edited." % src_name
    h += [banner, "#pragma once", "", '#include "platform/com/com.h"', ""]

    for e in lib.enums:
        h.append("// %s" % e.help_string)
        h.append("enum %s : LONG {" % e.name)
        for name, value in e.values:
            h.append("  %s = %d," % (name, value))
        h.append("};")
        h.append("")
    h.append("extern const GUID LIBID_%s;" % lib.name)
    for itf in lib.interfaces:
        h.append("extern const IID %s;" % iid_name(itf))
    for co in lib.coclasses:
        h.append("extern const CLSID CLSID_%s;" % co.name)
    h.append("")
    for itf in lib.interfaces:
        h.append("struct %s;" % itf.name)
    h.append("")
    for itf in lib.interfaces:
        h.append("// %s" % itf.help_string)
        h.append("struct %s : public IDispatch {" % itf.name)
        if not itf.dispinterface:
            for m in itf.members:
                h.append("  // slot %d, DISPID %d: %s" % (m.slot, m.dispid, m.help_string))
                h.append("  STDMETHOD(%s)(%s) = 0;" % (raw_name(m), ", ".join(types.decl(p) for p in m.params)))
        h.append("};")
        h.append("")
    for co in lib.coclasses:
        h.append("class %s;  // coclass: %s" % (co.name, co.help_string))
    h.append("")
    for itf in lib.interfaces:
        h.append("ORVCOM_DECLARE_UUID(%s, %s)" % (itf.name, iid_name(itf)))
    for co in lib.coclasses:
        h.append("ORVCOM_DECLARE_UUID(%s, CLSID_%s)" % (co.name, co.name))
    h.append("")
    h.append("extern const ::orvcom::TypeLibInfo LIBINFO_%s;" % lib.name)
    h.append("namespace orvcom {")
    for itf in lib.interfaces:
        h.append("template <>")
        h.append("struct InterfaceInfoOf<%s> {" % itf.name)
        h.append("  static const InterfaceInfo* Get();")
        h.append("};")
    h.append("}  // namespace orvcom")
    h.append("")
    duals = [i for i in lib.interfaces if not i.dispinterface]
    for itf in duals:
        h.append("class %sWrapper;" % itf.name)
    h.append("namespace orvcom {")
    for itf in duals:
        h.append("template <>")
        h.append("struct ClientWrapper<%s> {" % itf.name)
        h.append("  typedef %sWrapper type;" % itf.name)
        h.append("};")
    h.append("}  // namespace orvcom")
    for itf in lib.interfaces:
        h.append("typedef _com_ptr_t<%s> %sPtr;" % (itf.name, itf.name))
    h.append("")
    for itf in duals:
        wrapper(types, itf, h)

    # ---- source ----
    c += [banner, "", '#include "%s"' % header_name, ""]
    c.append("const GUID LIBID_%s = %s;" % (lib.name, guid_init(lib.libid)))
    for itf in lib.interfaces:
        c.append("const IID %s = %s;" % (iid_name(itf), guid_init(itf.iid)))
    for co in lib.coclasses:
        c.append("const CLSID CLSID_%s = %s;" % (co.name, guid_init(co.clsid)))
    c.append("")
    c.append("namespace {")
    c.append("")
    for itf in lib.interfaces:
        thunks = {}
        if not itf.dispinterface:
            for m in itf.members:
                thunks[m.name + m.kind] = thunk(lib, types, itf, m, c)
        for m in itf.members:
            if not m.params:
                continue
            c.append("const ::orvcom::ParamInfo kParams_%s_%s[] = {" % (itf.name, raw_name(m)))
            for p in m.params:
                flags = []
                if p.is_in and not p.is_out:
                    flags.append("::orvcom::kParamIn")
                if p.is_out:
                    flags.append("::orvcom::kParamOut")
                if p.is_retval:
                    flags.append("::orvcom::kParamRetval")
                c.append("    {%s, %s, %s, %s, %s}," % (c_string(p.name), types.vt(p), " | ".join(flags),
                                                       types.iid_ref(p), c_string(p.type_name)))
            c.append("};")
        c.append("const ::orvcom::MemberInfo kMembers_%s[] = {" % itf.name)
        for m in itf.members:
            kind = {"method": "kMethod", "propget": "kPropGet", "propput": "kPropPut"}[m.kind]
            params = ("kParams_%s_%s" % (itf.name, raw_name(m))) if m.params else "nullptr"
            c.append("    {%d, %s, %s, %d, ::orvcom::MemberKind::%s, %d, %s, %s}," % (
                m.dispid, c_string(m.name), c_string(m.help_string), m.slot, kind, len(m.params), params,
                thunks.get(m.name + m.kind, "nullptr")))
        c.append("};")
        c.append("")
    c.append("}  // namespace")
    c.append("")
    for itf in lib.interfaces:
        c.append("const ::orvcom::InterfaceInfo INFO_%s = {%s, &%s, %s, %s, %d, kMembers_%s};" % (
            itf.name, c_string(itf.name), iid_name(itf), c_string(itf.help_string),
            "true" if itf.dispinterface else "false", len(itf.members), itf.name))
        c.append("const ::orvcom::InterfaceInfo* ::orvcom::InterfaceInfoOf<%s>::Get() { return &INFO_%s; }"
                 % (itf.name, itf.name))
    c.append("")
    c.append("namespace {")
    c.append("")
    c.append("const ::orvcom::InterfaceInfo* const kInterfaces[] = {")
    for itf in lib.interfaces:
        c.append("    &INFO_%s," % itf.name)
    c.append("};")
    for e in lib.enums:
        c.append("const GUID kGuid_%s = %s;" % (e.name, guid_init(e.guid)))
        c.append("const ::orvcom::EnumMemberInfo kEnum_%s[] = {%s};" % (
            e.name, ", ".join("{%s, %d}" % (c_string(n), v) for n, v in e.values)))
    c.append("const ::orvcom::EnumInfo kEnums[] = {")
    for e in lib.enums:
        c.append("    {%s, &kGuid_%s, %s, %d, kEnum_%s}," % (c_string(e.name), e.name, c_string(e.help_string),
                                                          len(e.values), e.name))
    c.append("};")
    c.append("const ::orvcom::CoClassInfo kCoClasses[] = {")
    for co in lib.coclasses:
        def ref(name):
            if not name:
                return "nullptr"
            return "&" + iid_name(types.interfaces[name])
        c.append("    {%s, &CLSID_%s, %s, %s, %s, %s}," % (c_string(co.name), co.name, c_string(co.help_string),
                                                         "true" if co.creatable else "false", ref(co.default),
                                                         ref(co.source)))
    c.append("};")
    c.append("")
    for number, path, nodes in scripts:
        c.append("// %s" % os.path.basename(path))
        for k, n in enumerate(nodes):
            if n["values"]:
                c.append("const ::orvcom::RegistryValue kReg%d_%d[] = {%s};" % (number, k, ", ".join(
                    "{%s, '%s', %s}" % (c_string(name), kind, c_string(data)) for name, kind, data in n["values"])))
        c.append("const ::orvcom::RegistryNode kReg%d[] = {" % number)
        for k, n in enumerate(nodes):
            flags = {0: "0", 1: "::orvcom::kRegNoRemove", 2: "::orvcom::kRegForceRemove"}[n["flags"]]
            c.append("    {%d, %s, %s, %s, %d, %s}," % (n["depth"], flags, c_string(n["name"]), c_string(n["default"]),
                                                    len(n["values"]), ("kReg%d_%d" % (number, k)) if n["values"] else "nullptr"))
        c.append("};")
    c.append("const ::orvcom::RegistryScript kScripts[] = {")
    for number, path, nodes in scripts:
        c.append("    {%d, %d, kReg%d}," % (number, len(nodes), number))
    if not scripts:
        c.append("    {0, 0, nullptr},")
    c.append("};")
    c.append("")
    c.append("}  // namespace")
    c.append("")
    c.append("const ::orvcom::TypeLibInfo LIBINFO_%s = {" % lib.name)
    c.append("    %s, &LIBID_%s, %d, %d, 0x%x, %s," % (c_string(lib.name), lib.name, lib.version[0], lib.version[1],
                                                   lib.lcid, c_string(lib.help_string)))
    c.append("    %d, kInterfaces, %d, kEnums, %d, kCoClasses, %d, kScripts};" % (
        len(lib.interfaces), len(lib.enums), len(lib.coclasses), len(scripts)))
    c.append("")
    c.append("// The identifiers above are what every user of the library links in,")
    c.append("// so the library is known to the runtime whenever it is used.")
    c.append("[[maybe_unused]] static const bool kRegistered = ::orvcom::RegisterTypeLibInfo(&LIBINFO_%s);" % lib.name)
    return "\n".join(h) + "\n", "\n".join(c) + "\n"


def generate_proxies(lib, header_name):
    """The interface proxies of the object transport: each typed member hands
    the addresses of its arguments to the transport, which marshals them by
    the same tables the dispatch side uses."""
    types = Types(lib)
    banner = "// Generated by comgen: the transport proxies of %s; not to be edited." % lib.name
    c = [banner, "", '#include "%s"' % header_name, '#include "platform/com/rpc/Activation.h"',
         '#include "platform/com/rpc/ProxyManager.h"', "", "namespace {", ""]
    duals = [i for i in lib.interfaces if not i.dispinterface]
    for itf in duals:
        cls = "Proxy_" + itf.name
        c.append("class %s final : public %s, public ::orvrpc::ProxyPart {" % (cls, itf.name))
        c.append(" public:")
        c.append("  explicit %s(::orvrpc::ProxyManager* m) : ProxyPart(m) {}" % cls)
        c.append("  IUnknown* Unknown() override { return this; }")
        c.append("  STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override { return m_->QueryInterface(iid, ppv); }")
        c.append("  STDMETHODIMP_(ULONG) AddRef() override { return m_->AddRef(); }")
        c.append("  STDMETHODIMP_(ULONG) Release() override { return m_->Release(); }")
        c.append("  STDMETHODIMP GetTypeInfoCount(UINT* n) override { return m_->RemoteGetTypeInfoCount(n); }")
        c.append("  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** t) override {")
        c.append("    if (t) *t = nullptr;")
        c.append("    return E_NOTIMPL;")
        c.append("  }")
        c.append("  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {")
        c.append("    return m_->RemoteGetIDsOfNames(%s, riid, names, count, lcid, ids);" % iid_name(itf))
        c.append("  }")
        c.append("  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,")
        c.append("                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {")
        c.append("    return m_->RemoteInvoke(%s, id, riid, lcid, flags, params, result, excep, argErr);" % iid_name(itf))
        c.append("  }")
        for index, m in enumerate(itf.members):
            c.append("  STDMETHODIMP %s(%s) override {" % (raw_name(m), ", ".join(types.decl(p) for p in m.params)))
            if m.params:
                args = [p.name if p.is_out else "&" + p.name for p in m.params]
                c.append("    void* argv[] = {%s};" % ", ".join(args))
                c.append("    return m_->CallMember(::orvcom::InterfaceInfoOf<%s>::Get(), %d, argv);" % (itf.name, index))
            else:
                c.append("    return m_->CallMember(::orvcom::InterfaceInfoOf<%s>::Get(), %d, nullptr);" % (itf.name, index))
            c.append("  }")
        c.append("};")
        c.append("")
    for itf in duals:
        c.append("::orvrpc::ProxyPart* Make_%s(::orvrpc::ProxyManager* m) { return new Proxy_%s(m); }" % (itf.name, itf.name))
    c.append("")
    c.append("bool RegisterProxies() {")
    c.append("  ::orvrpc::InstallTransport();")
    for itf in duals:
        c.append("  ::orvrpc::RegisterProxyFactory(%s, &Make_%s);" % (iid_name(itf), itf.name))
    c.append("  return true;")
    c.append("}")
    c.append("")
    c.append("[[maybe_unused]] const bool kProxiesRegistered = RegisterProxies();")
    c.append("")
    c.append("}  // namespace")
    c.append("")
    c.append("// Named on the link line of every program that uses the library, so that")
    c.append("// this file (and with it the transport) is always linked in.")
    c.append('extern "C" void orv_proxies_%s() {}' % lib.name)
    return "\n".join(c) + "\n"


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
    ap = argparse.ArgumentParser(description="Compiles a type library source into C++.")
    ap.add_argument("--idl", required=True)
    ap.add_argument("--rc", help="resource script naming the REGISTRY scripts")
    ap.add_argument("--header", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--proxies", help="also write the transport proxies to this file")
    a = ap.parse_args(argv)
    try:
        with open(a.idl, encoding="utf-8") as f:
            text = f.read()
        lib = Parser(tokenize(text, a.idl), a.idl).parse()
        check(lib, a.idl)
        scripts = parse_rc(a.rc) if a.rc else []
        header, source = generate(lib, scripts, a.idl, os.path.basename(a.header))
    except (IdlError, OSError) as e:
        print("comgen: error: %s" % e, file=sys.stderr)
        return 1
    write_if_changed(a.header, header)
    write_if_changed(a.source, source)
    if a.proxies:
        write_if_changed(a.proxies, generate_proxies(lib, os.path.basename(a.header)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Generates the C++ declarations and late-binding tables from Quellar.idl.

Reads the subset of MIDL that Quellar.idl uses (library, typedef enum, dual interfaces,
dispinterfaces, coclasses; one member per declaration) and writes:
  Quellar_TLB.h      GUIDs, enumerations and the interface declarations
  QuellarTables.cpp  per-interface member tables and the typed call thunks for Invoke
Usage: gen_tlb.py Quellar.idl OUT_HEADER OUT_SOURCE
"""
import re
import sys

TOKEN = re.compile(r'\s*(?:(?P<str>"[^"]*")|(?P<num>0x[0-9A-Fa-f]+|-?\d+(?:\.\d+)?)'
                   r'|(?P<id>[A-Za-z_][A-Za-z0-9_]*)|(?P<punct>[\[\](){};:,=*.-]))')
GUID_RE = re.compile(r'^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-'
                     r'[0-9A-Fa-f]{12}$')


class IdlError(Exception):
    pass


def strip_comments(text):
    text = re.sub(r'/\*.*?\*/', '', text, flags=re.S)
    return re.sub(r'//[^\n]*', '', text)


class Parser:
    def __init__(self, text):
        self.text = strip_comments(text)
        self.pos = 0

    def skip_ws(self):
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def peek(self):
        save = self.pos
        tok = self.next()
        self.pos = save
        return tok

    def next(self):
        self.skip_ws()
        if self.pos >= len(self.text):
            return None
        m = TOKEN.match(self.text, self.pos)
        if not m:
            raise IdlError('cannot read at: ' + self.text[self.pos:self.pos + 40])
        self.pos = m.end()
        return m.group(m.lastgroup)

    def expect(self, want):
        tok = self.next()
        if tok != want:
            raise IdlError('expected %r, found %r near %r' %
                           (want, tok, self.text[self.pos:self.pos + 60]))
        return tok

    def uuid(self):
        # a GUID is not one token; read the raw text up to the closing parenthesis
        self.skip_ws()
        end = self.text.index(')', self.pos)
        value = self.text[self.pos:end].strip()
        self.pos = end
        if not GUID_RE.match(value):
            raise IdlError('bad uuid ' + value)
        return value.upper()

    def attributes(self):
        attrs = {}
        if self.peek() != '[':
            return attrs
        self.expect('[')
        while True:
            name = self.next()
            if name == ']':
                break
            if name == ',':
                continue
            if self.peek() == '(':
                self.expect('(')
                if name == 'uuid':
                    value = self.uuid()
                else:
                    parts = []
                    while self.peek() != ')':
                        parts.append(self.next())
                    value = ''.join(parts)
                self.expect(')')
                attrs[name] = value
            else:
                attrs[name] = True
        return attrs

    def type_and_name(self):
        words = []
        while True:
            tok = self.peek()
            if tok in (',', ')', '('):
                break
            words.append(self.next())
        name = words.pop()
        return ' '.join(words).replace(' *', '*'), name

    def params(self):
        self.expect('(')
        params = []
        if self.peek() == 'void':
            self.next()
            self.expect(')')
            return params
        while self.peek() != ')':
            attrs = self.attributes()
            ptype, pname = self.type_and_name()
            params.append({'attrs': attrs, 'type': ptype, 'name': pname})
            if self.peek() == ',':
                self.next()
        self.expect(')')
        return params

    def member(self):
        attrs = self.attributes()
        ret, name = self.type_and_name()
        params = self.params()
        self.expect(';')
        return {'attrs': attrs, 'ret': ret, 'name': name, 'params': params}

    def parse(self):
        lib = {'interfaces': [], 'classes': [], 'enums': []}
        while True:
            tok = self.peek()
            if tok == 'import':
                self.next()
                self.next()
                self.expect(';')
                continue
            break
        lib['attrs'] = self.attributes()
        self.expect('library')
        lib['name'] = self.next()
        self.expect('{')
        while self.peek() != '}':
            if self.peek() == 'importlib':
                self.next()
                self.expect('(')
                self.next()
                self.expect(')')
                self.expect(';')
                continue
            if self.peek() in ('interface', 'dispinterface'):
                self.next()
                self.next()
                self.expect(';')
                continue
            if self.peek() == 'typedef':
                self.next()
                lib['enums'].append(self.enum())
                continue
            attrs = self.attributes()
            kind = self.next()
            if kind == 'interface':
                lib['interfaces'].append(self.interface(attrs))
            elif kind == 'dispinterface':
                lib['interfaces'].append(self.dispinterface(attrs))
            elif kind == 'coclass':
                lib['classes'].append(self.coclass(attrs))
            else:
                raise IdlError('unexpected ' + str(kind))
        self.expect('}')
        self.expect(';')
        return lib

    def enum(self):
        attrs = self.attributes()
        self.expect('enum')
        tag = self.next()
        self.expect('{')
        members = []
        while self.peek() != '}':
            name = self.next()
            self.expect('=')
            value = self.next()
            if value == '-':
                value = '-' + self.next()
            members.append((name, int(value, 0)))
            if self.peek() == ',':
                self.next()
        self.expect('}')
        name = self.next()
        self.expect(';')
        return {'attrs': attrs, 'tag': tag, 'name': name, 'members': members}

    def interface(self, attrs):
        name = self.next()
        self.expect(':')
        base = self.next()
        self.expect('{')
        members = []
        while self.peek() != '}':
            members.append(self.member())
        self.expect('}')
        self.expect(';')
        return {'attrs': attrs, 'name': name, 'base': base, 'members': members, 'disp': False}

    def dispinterface(self, attrs):
        name = self.next()
        self.expect('{')
        members = []
        while self.peek() != '}':
            if self.peek() in ('properties', 'methods'):
                self.next()
                self.expect(':')
                continue
            members.append(self.member())
        self.expect('}')
        self.expect(';')
        return {'attrs': attrs, 'name': name, 'base': 'IDispatch', 'members': members,
                'disp': True}

    def coclass(self, attrs):
        name = self.next()
        self.expect('{')
        items = []
        while self.peek() != '}':
            iattrs = self.attributes()
            self.next()  # interface / dispinterface
            items.append((iattrs, self.next()))
            self.expect(';')
        self.expect('}')
        self.expect(';')
        return {'attrs': attrs, 'name': name, 'items': items}


def guid_init(text):
    g = text.replace('-', '')
    d4 = ', '.join('0x' + g[16 + 2 * i:18 + 2 * i] for i in range(8))
    return '{0x%s, 0x%s, 0x%s, {%s}}' % (g[0:8], g[8:12], g[12:16], d4)


def c_string(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


SCALARS = {'long': ('LONG', 'VT_I4', 'V_I4'), 'double': ('DOUBLE', 'VT_R8', 'V_R8'),
           'VARIANT_BOOL': ('VARIANT_BOOL', 'VT_BOOL', 'V_BOOL'),
           'BSTR': ('BSTR', 'VT_BSTR', 'V_BSTR'), 'unsigned char': ('BYTE', 'VT_UI1', 'V_UI1'),
           'VARIANT': ('VARIANT', 'VT_VARIANT', None)}


class Model:
    def __init__(self, lib):
        self.lib = lib
        self.itf_names = [i['name'] for i in lib['interfaces']]
        for itf in lib['interfaces']:
            self.check_interface(itf)
        # A GUID copied by mistake would make two types one for COM.
        uuids = [lib['attrs']['uuid']] + [t['attrs']['uuid'] for t in
                                          lib['interfaces'] + lib['classes']]
        if len(set(uuids)) != len(uuids):
            raise IdlError('a uuid is used twice')

    def describe(self, ptype):
        """Returns (c++ type, VT, value macro, interface name or None, pointer depth)."""
        base = ptype.rstrip('*')
        depth = len(ptype) - len(base)
        if base in SCALARS:
            ctype, vt, macro = SCALARS[base]
            return ctype, vt, macro, None, depth
        if base in self.itf_names:
            return base, 'VT_DISPATCH', None, base, depth - 1
        raise IdlError('unsupported type ' + ptype)

    def check_interface(self, itf):
        if 'uuid' not in itf['attrs']:
            raise IdlError(itf['name'] + ' has no uuid')
        kinds = set()
        for m in itf['members']:
            if 'id' not in m['attrs']:
                raise IdlError('%s.%s has no id' % (itf['name'], m['name']))
            kind = (int(m['attrs']['id'], 0), member_kind(m)[0])
            if kind in kinds:
                raise IdlError('%s.%s: its id is used twice' % (itf['name'], m['name']))
            kinds.add(kind)
            if not itf['disp'] and m['ret'] != 'HRESULT':
                raise IdlError('%s.%s must return HRESULT' % (itf['name'], m['name']))
            for i, p in enumerate(m['params']):
                if 'retval' in p['attrs'] and i != len(m['params']) - 1:
                    raise IdlError('retval must be last in %s.%s' % (itf['name'], m['name']))


def member_kind(m):
    if 'propget' in m['attrs']:
        return 'PropertyGet', 'get_'
    if 'propput' in m['attrs']:
        return 'PropertyPut', 'put_'
    return 'Method', ''


def iid_name(itf):
    return ('DIID_' if itf['disp'] else 'IID_') + itf['name']


def param_flags(p):
    flags = []
    if 'out' in p['attrs']:
        flags.append('kParamOut')
    if 'in' in p['attrs'] or not flags:
        flags.append('kParamIn')
    if 'retval' in p['attrs']:
        flags.append('kParamRetval')
    return ' | '.join(flags)


def has_result(itf, m):
    """A dispinterface member's return value travels as a trailing retval parameter."""
    return itf['disp'] and m['ret'] != 'void'


# ---------------------------------------------------------------- Quellar_TLB.h
def header_library(lib):
    libname = lib['name']
    major, minor = lib['attrs'].get('version', '1.0').split('.')
    return ['inline constexpr GUID LIBID_%s = %s;' % (libname, guid_init(lib['attrs']['uuid'])),
            'inline constexpr unsigned short k%sVersionMajor = %s;' % (libname, major),
            'inline constexpr unsigned short k%sVersionMinor = %s;' % (libname, minor),
            'inline constexpr unsigned long k%sLcid = %s;' % (libname, lib['attrs'].get('lcid', '0')),
            '']


def header_enums(lib):
    h = []
    for e in lib['enums']:
        h.append('enum %s {' % e['name'])
        h.extend('  %s = %d,' % (n, v) for n, v in e['members'])
        h.append('};')
    return h + ['']


def header_guids(lib):
    h = ['inline constexpr IID %s = %s;' % (iid_name(i), guid_init(i['attrs']['uuid']))
         for i in lib['interfaces']]
    h += ['inline constexpr CLSID CLSID_%s = %s;' % (c['name'], guid_init(c['attrs']['uuid']))
          for c in lib['classes']]
    return h + ['']


def header_interfaces(lib, model):
    h = ['struct %s;' % itf['name'] for itf in lib['interfaces']] + ['']
    for itf in lib['interfaces']:
        h.append('// %s' % itf['attrs'].get('helpstring', '').strip('"'))
        if itf['disp']:
            h += ['struct %s : public IDispatch {};' % itf['name'], '']
            continue
        h.append('struct %s : public %s {' % (itf['name'], itf['base']))
        for m in itf['members']:
            _, pre = member_kind(m)
            args = []
            for p in m['params']:
                ctype, _, _, iname, depth = model.describe(p['type'])
                args.append('%s%s %s' % (ctype, '*' * (depth + (1 if iname else 0)), p['name']))
            h.append('  virtual HRESULT STDMETHODCALLTYPE %s%s(%s) = 0;' %
                     (pre, m['name'], ', '.join(args)))
        h += ['};', '']
    return h


def header_descriptions(lib):
    h = ['namespace quellar::automation {', 'struct InterfaceDesc;', 'struct ClassDesc;',
         'struct LibraryDesc;']
    h += ['extern const InterfaceDesc k%sDesc;' % itf['name'] for itf in lib['interfaces']]
    h += ['extern const ClassDesc kClass%s;' % c['name'] for c in lib['classes']]
    h.append('extern const LibraryDesc k%sLibrary;' % lib['name'])
    for itf in lib['interfaces']:
        h += ['template <>',
              'struct InterfaceId<%s> {' % itf['name'],
              '  static const IID& Get() { return %s; }' % iid_name(itf),
              '  static const InterfaceDesc& Desc() { return k%sDesc; }' % itf['name'],
              '};']
    h.append('}  // namespace quellar::automation')
    return h


def generate_header(lib, model, idl_name):
    h = ['#pragma once',
         '// Generated by gen_tlb.py from %s. Do not edit: change the IDL instead.' % idl_name,
         '#include "automation/InterfaceId.h"',
         '#include "automation/com/ComBase.h"',
         '']
    h += header_library(lib)
    h += header_enums(lib)
    h += header_guids(lib)
    h += header_interfaces(lib, model)
    h += header_descriptions(lib)
    return '\n'.join(h) + '\n'


# ---------------------------------------------------------------- QuellarTables.cpp
def source_params(itf, model):
    """The parameter table of every member that has parameters."""
    s = []
    for mi, m in enumerate(itf['members']):
        rows = []
        for p in m['params']:
            _, vt, _, iname, _ = model.describe(p['type'])
            iid = '&IID_%s' % iname if iname else 'nullptr'
            rows.append('    {%s, %s, %s, %s},' % (c_string(p['name']), vt, iid, param_flags(p)))
        if has_result(itf, m):
            _, vt, _, iname, _ = model.describe(m['ret'])
            rows.append('    {"Result", %s, %s, kParamOut | kParamRetval},' %
                        (vt, '&IID_%s' % iname if iname else 'nullptr'))
        if rows:
            s += ['const ParamDesc k%s_%d[] = {' % (itf['name'], mi)] + rows + ['};']
    return s


def thunk_case(model, mi, m):
    """One case of the typed call switch: arguments out of the VARIANT slots, results back."""
    _, pre = member_kind(m)
    pre_lines, args, post = [], [], []
    for pi, p in enumerate(m['params']):
        _, vt, macro, iname, depth = model.describe(p['type'])
        slot = '&a[%d]' % pi
        if iname:
            if depth == 0:
                args.append('static_cast<%s*>(V_BYREF(%s))' % (iname, slot))
            else:
                pre_lines.append('%s* o%d = nullptr;' % (iname, pi))
                args.append('&o%d' % pi)
                post.append('V_DISPATCH(%s) = o%d;' % (slot, pi))
        elif vt == 'VT_VARIANT':
            args.append(slot if depth else 'a[%d]' % pi)
        else:
            args.append(('&%s(%s)' if depth else '%s(%s)') % (macro, slot))
    call = 'p->%s%s(%s)' % (pre, m['name'], ', '.join(args))
    if not (pre_lines or post):
        return ['    case %d:' % mi, '      return %s;' % call]
    return (['    case %d: {' % mi] + ['      ' + line for line in pre_lines] +
            ['      const HRESULT hr = %s;' % call] + ['      ' + line for line in post] +
            ['      return hr;', '    }'])


def source_thunk(itf, model):
    n = itf['name']
    s = ['HRESULT Invoke%s(IDispatch* self, size_t member, VARIANT* a) {' % n,
         '  %s* p = static_cast<%s*>(self);' % (n, n),
         '  switch (member) {']
    for mi, m in enumerate(itf['members']):
        s += thunk_case(model, mi, m)
    return s + ['  }', '  return DISP_E_MEMBERNOTFOUND;', '}']


def source_members(itf):
    n = itf['name']
    s = ['const MemberDesc k%sMembers[] = {' % n]
    for mi, m in enumerate(itf['members']):
        kind, _ = member_kind(m)
        params = 'k%s_%d' % (n, mi) if (m['params'] or has_result(itf, m)) else 'nullptr'
        count = len(m['params']) + (1 if has_result(itf, m) else 0)
        slot = -1 if itf['disp'] else 7 + mi
        s.append('    {%s, %s, MemberKind::%s, %d, %s, %d, %s},' %
                 (c_string(m['name']), int(m['attrs']['id'], 0), kind, slot, params, count,
                  m['attrs'].get('helpstring', '""')))
    return s + ['};']


def source_interfaces(lib):
    return ['const InterfaceDesc k%sDesc = {%s, &%s, %s, %s, k%sMembers, %d, %s};' %
            (itf['name'], c_string(itf['name']), iid_name(itf),
             itf['attrs'].get('helpstring', '""'), 'true' if itf['disp'] else 'false',
             itf['name'], len(itf['members']), 'nullptr' if itf['disp'] else 'Invoke' + itf['name'])
            for itf in lib['interfaces']] + ['']


def source_classes(lib):
    s = []
    for c in lib['classes']:
        default = source = 'nullptr'
        for attrs, iname in c['items']:
            if 'source' in attrs:
                source = '&k%sDesc' % iname
            elif 'default' in attrs:
                default = '&k%sDesc' % iname
        s.append('const ClassDesc kClass%s = {%s, &CLSID_%s, %s, %s, %s};' %
                 (c['name'], c_string(c['name']), c['name'], c['attrs'].get('helpstring', '""'),
                  default, source))
    return s + ['']


def source_library(lib):
    libname = lib['name']
    major, minor = lib['attrs'].get('version', '1.0').split('.')
    s = ['namespace {', 'const InterfaceDesc* const kInterfaces[] = {']
    s += ['    &k%sDesc,' % itf['name'] for itf in lib['interfaces']]
    s += ['};', 'const ClassDesc* const kClasses[] = {']
    s += ['    &kClass%s,' % c['name'] for c in lib['classes']]
    s.append('};')
    for e in lib['enums']:
        s.append('const EnumMemberDesc k%sMembers[] = {' % e['name'])
        s += ['    {%s, %d},' % (c_string(name), value) for name, value in e['members']]
        s.append('};')
    s.append('const EnumDesc kEnums[] = {')
    s += ['    {%s, k%sMembers, %d},' % (c_string(e['name']), e['name'], len(e['members']))
          for e in lib['enums']]
    s += ['};', '}  // namespace', '']
    s.append('const LibraryDesc k%sLibrary = {%s, &LIBID_%s, %s, %s, %s, %s, kInterfaces, %d, '
             'kClasses, %d, kEnums, %d};' %
             (libname, c_string(libname), libname, lib['attrs'].get('helpstring', '""'), major,
              minor, lib['attrs'].get('lcid', '0'), len(lib['interfaces']), len(lib['classes']),
              len(lib['enums'])))
    return s


def generate_source(lib, model, idl_name):
    s = ['// Generated by gen_tlb.py from %s. Do not edit: change the IDL instead.' % idl_name,
         '#include "automation/DispatchTables.h"',
         '#include "automation/Quellar_TLB.h"',
         '',
         'namespace quellar::automation {',
         'namespace {']
    for itf in lib['interfaces']:
        s += source_params(itf, model)
        if not itf['disp']:
            s += source_thunk(itf, model)
        s += source_members(itf)
    s += ['}  // namespace', '']
    s += source_interfaces(lib)
    s += source_classes(lib)
    s += source_library(lib)
    s += ['', '}  // namespace quellar::automation']
    return '\n'.join(s) + '\n'


def generate(lib, header_path, source_path, idl_name):
    model = Model(lib)
    write_if_changed(header_path, generate_header(lib, model, idl_name))
    write_if_changed(source_path, generate_source(lib, model, idl_name))


def write_if_changed(path, text):
    """Leaves an unchanged file alone, so what depends on it is not rebuilt."""
    try:
        with open(path, encoding='utf-8', newline='') as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        f.write(text)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding='utf-8') as f:
        text = f.read()
    try:
        lib = Parser(text).parse()
        generate(lib, sys.argv[2], sys.argv[3], sys.argv[1].replace('\\', '/').split('/')[-1])
    except IdlError as e:
        sys.exit('%s: %s' % (sys.argv[1], e))


if __name__ == '__main__':
    main()

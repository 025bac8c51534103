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
        for m in itf['members']:
            if 'id' not in m['attrs']:
                raise IdlError('%s.%s has no id' % (itf['name'], m['name']))
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


def generate(lib, header_path, source_path, idl_name):
    model = Model(lib)
    libname = lib['name']
    h = []
    h.append('#pragma once')
    h.append('// Generated by gen_tlb.py from %s. Do not edit: change the IDL instead.' % idl_name)
    h.append('#include "automation/InterfaceId.h"')
    h.append('#include "automation/com/ComBase.h"')
    h.append('')
    major, minor = lib['attrs'].get('version', '1.0').split('.')
    h.append('inline constexpr GUID LIBID_%s = %s;' % (libname, guid_init(lib['attrs']['uuid'])))
    h.append('inline constexpr unsigned short k%sVersionMajor = %s;' % (libname, major))
    h.append('inline constexpr unsigned short k%sVersionMinor = %s;' % (libname, minor))
    h.append('inline constexpr unsigned long k%sLcid = %s;' % (libname, lib['attrs'].get('lcid', '0')))
    h.append('')
    for e in lib['enums']:
        h.append('enum %s {' % e['name'])
        for n, v in e['members']:
            h.append('  %s = %d,' % (n, v))
        h.append('};')
    h.append('')
    for itf in lib['interfaces']:
        prefix = 'DIID_' if itf['disp'] else 'IID_'
        h.append('inline constexpr IID %s%s = %s;' % (prefix, itf['name'], guid_init(itf['attrs']['uuid'])))
    for c in lib['classes']:
        h.append('inline constexpr CLSID CLSID_%s = %s;' % (c['name'], guid_init(c['attrs']['uuid'])))
    h.append('')
    for itf in lib['interfaces']:
        h.append('struct %s;' % itf['name'])
    h.append('')
    for itf in lib['interfaces']:
        h.append('// %s' % itf['attrs'].get('helpstring', '').strip('"'))
        if itf['disp']:
            h.append('struct %s : public IDispatch {};' % itf['name'])
            h.append('')
            continue
        h.append('struct %s : public %s {' % (itf['name'], itf['base']))
        for m in itf['members']:
            _, pre = member_kind(m)
            args = []
            for p in m['params']:
                ctype, _, _, iname, depth = model.describe(p['type'])
                args.append('%s%s %s' % (ctype, '*' * (depth + (1 if iname else 0)), p['name']))
            h.append('  virtual HRESULT STDMETHODCALLTYPE %s%s(%s) = 0;' % (pre, m['name'], ', '.join(args)))
        h.append('};')
        h.append('')
    h.append('namespace quellar::automation {')
    h.append('struct InterfaceDesc;')
    h.append('struct ClassDesc;')
    h.append('struct LibraryDesc;')
    for itf in lib['interfaces']:
        h.append('extern const InterfaceDesc k%sDesc;' % itf['name'])
    for c in lib['classes']:
        h.append('extern const ClassDesc kClass%s;' % c['name'])
    h.append('extern const LibraryDesc k%sLibrary;' % libname)
    for itf in lib['interfaces']:
        prefix = 'DIID_' if itf['disp'] else 'IID_'
        h.append('template <>')
        h.append('struct InterfaceId<%s> {' % itf['name'])
        h.append('  static const IID& Get() { return %s%s; }' % (prefix, itf['name']))
        h.append('  static const InterfaceDesc& Desc() { return k%sDesc; }' % itf['name'])
        h.append('};')
    h.append('}  // namespace quellar::automation')

    s = []
    s.append('// Generated by gen_tlb.py from %s. Do not edit: change the IDL instead.' % idl_name)
    s.append('#include "automation/DispatchTables.h"')
    s.append('#include "automation/Quellar_TLB.h"')
    s.append('')
    s.append('namespace quellar::automation {')
    s.append('namespace {')
    for itf in lib['interfaces']:
        n = itf['name']
        for mi, m in enumerate(itf['members']):
            if not m['params'] and not itf['disp']:
                continue
            rows = []
            params = list(m['params'])
            for p in params:
                ctype, vt, _, iname, _ = model.describe(p['type'])
                flags = []
                if 'out' in p['attrs']:
                    flags.append('kParamOut')
                if 'in' in p['attrs'] or not flags:
                    flags.append('kParamIn')
                if 'retval' in p['attrs']:
                    flags.append('kParamRetval')
                iid = '&IID_%s' % iname if iname else 'nullptr'
                rows.append('    {%s, %s, %s, %s},' % (c_string(p['name']), vt, iid, ' | '.join(flags)))
            if itf['disp'] and m['ret'] != 'void':
                _, vt, _, iname, _ = model.describe(m['ret'])
                rows.append('    {"Result", %s, %s, kParamOut | kParamRetval},' %
                            (vt, '&IID_%s' % iname if iname else 'nullptr'))
            if rows:
                s.append('const ParamDesc k%s_%d[] = {' % (n, mi))
                s.extend(rows)
                s.append('};')
        if not itf['disp']:
            s.append('HRESULT Invoke%s(IDispatch* self, size_t member, VARIANT* a) {' % n)
            s.append('  %s* p = static_cast<%s*>(self);' % (n, n))
            s.append('  switch (member) {')
            for mi, m in enumerate(itf['members']):
                _, pre = member_kind(m)
                pre_lines = []
                args = []
                post = []
                for pi, p in enumerate(m['params']):
                    ctype, vt, macro, iname, depth = model.describe(p['type'])
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
                if pre_lines or post:
                    s.append('    case %d: {' % mi)
                    for line in pre_lines:
                        s.append('      ' + line)
                    s.append('      const HRESULT hr = %s;' % call)
                    for line in post:
                        s.append('      ' + line)
                    s.append('      return hr;')
                    s.append('    }')
                else:
                    s.append('    case %d:' % mi)
                    s.append('      return %s;' % call)
            s.append('  }')
            s.append('  return DISP_E_MEMBERNOTFOUND;')
            s.append('}')
        s.append('const MemberDesc k%sMembers[] = {' % n)
        for mi, m in enumerate(itf['members']):
            kind, _ = member_kind(m)
            params = 'k%s_%d' % (n, mi) if (m['params'] or (itf['disp'] and m['ret'] != 'void')) else 'nullptr'
            count = len(m['params']) + (1 if itf['disp'] and m['ret'] != 'void' else 0)
            help_text = m['attrs'].get('helpstring', '""')
            slot = -1 if itf['disp'] else 7 + mi
            s.append('    {%s, %s, MemberKind::%s, %d, %s, %d, %s},' %
                     (c_string(m['name']), int(m['attrs']['id'], 0), kind, slot, params, count, help_text))
        s.append('};')
    s.append('}  // namespace')
    s.append('')
    for itf in lib['interfaces']:
        n = itf['name']
        prefix = 'DIID_' if itf['disp'] else 'IID_'
        s.append('const InterfaceDesc k%sDesc = {%s, &%s%s, %s, %s, k%sMembers, %d, %s};' %
                 (n, c_string(n), prefix, n, itf['attrs'].get('helpstring', '""'),
                  'true' if itf['disp'] else 'false', n, len(itf['members']),
                  'nullptr' if itf['disp'] else 'Invoke' + n))
    s.append('')
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
    s.append('')
    s.append('namespace {')
    s.append('const InterfaceDesc* const kInterfaces[] = {')
    for itf in lib['interfaces']:
        s.append('    &k%sDesc,' % itf['name'])
    s.append('};')
    s.append('const ClassDesc* const kClasses[] = {')
    for c in lib['classes']:
        s.append('    &kClass%s,' % c['name'])
    s.append('};')
    for e in lib['enums']:
        s.append('const EnumMemberDesc k%sMembers[] = {' % e['name'])
        for name, value in e['members']:
            s.append('    {%s, %d},' % (c_string(name), value))
        s.append('};')
    s.append('const EnumDesc kEnums[] = {')
    for e in lib['enums']:
        s.append('    {%s, k%sMembers, %d},' % (c_string(e['name']), e['name'], len(e['members'])))
    s.append('};')
    s.append('}  // namespace')
    s.append('')
    s.append('const LibraryDesc k%sLibrary = {%s, &LIBID_%s, %s, %s, %s, %s, kInterfaces, %d, '
             'kClasses, %d, kEnums, %d};' %
             (libname, c_string(libname), libname, lib['attrs'].get('helpstring', '""'), major, minor,
              lib['attrs'].get('lcid', '0'), len(lib['interfaces']), len(lib['classes']),
              len(lib['enums'])))
    s.append('')
    s.append('}  // namespace quellar::automation')

    write_if_changed(header_path, '\n'.join(h) + '\n')
    write_if_changed(source_path, '\n'.join(s) + '\n')


def write_if_changed(path, text):
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

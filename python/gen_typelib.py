#!/usr/bin/env python3
"""Derives the Python view of the type library from Quellar.idl.

Writes into OUT_DIR:
  _typelib.py   the interfaces, members, parameters, help strings, classes and enumerations,
                which the package turns into classes with help and signatures
  objects.pyi   the stub editors read for completion
Usage: gen_typelib.py GEN_TLB_DIR Quellar.idl OUT_DIR
(GEN_TLB_DIR holds gen_tlb.py, whose reader of the IDL is reused here.)
"""
import os
import pprint
import sys

PY_TYPES = {'long': 'int', 'double': 'float', 'VARIANT_BOOL': 'bool', 'BSTR': 'str',
            'unsigned char': 'int', 'VARIANT': 'Any', 'void': 'None', 'HRESULT': 'None'}


def base_type(text):
    return text.replace('*', '').strip()


def describe(lib):
    """The library as plain data: lists and dicts of strings and numbers."""
    interfaces = {}
    for itf in lib['interfaces']:
        members = []
        for m in itf['members']:
            a = m['attrs']
            kind = 'get' if a.get('propget') else 'put' if a.get('propput') else 'method'
            params, result = [], base_type(m['ret']) if itf['disp'] else 'void'
            for p in m['params']:
                pa = p['attrs']
                if pa.get('retval'):
                    result = base_type(p['type'])
                else:
                    direction = 'out' if pa.get('out') else 'in'
                    params.append((p['name'], base_type(p['type']), direction))
            members.append({'name': m['name'], 'id': int(a['id'], 0), 'kind': kind,
                            'params': params, 'result': result,
                            'help': a.get('helpstring', '""').strip('"')})
        interfaces[itf['name']] = {'iid': itf['attrs']['uuid'],
                                   'help': itf['attrs'].get('helpstring', '""').strip('"'),
                                   'dispinterface': itf['disp'], 'members': members}
    classes = []
    for c in lib['classes']:
        default = source = None
        for attrs, name in c['items']:
            if attrs.get('source'):
                source = name
            elif attrs.get('default'):
                default = name
        classes.append({'name': c['name'], 'clsid': c['attrs']['uuid'],
                        'help': c['attrs'].get('helpstring', '""').strip('"'),
                        'interface': default, 'source': source})
    enums = [{'name': e['name'], 'members': e['members']} for e in lib['enums']]
    return {'name': lib['name'], 'help': lib['attrs'].get('helpstring', '""').strip('"'),
            'interfaces': interfaces, 'classes': classes, 'enums': enums}


def py_type(name, class_of):
    # Classes go by alias: Controller has properties named after the classes they return.
    return PY_TYPES.get(name) or ('_' + class_of[name] if name in class_of else 'Any')


def members(itf, class_of):
    out, seen = [], set()
    for m in itf['members']:
        if m['name'] in seen:
            continue
        seen.add(m['name'])
        ins = [p for p in m['params'] if p[2] == 'in']
        outs = [p for p in m['params'] if p[2] == 'out']
        result = py_type(m['result'], class_of)
        if outs:
            result = 'tuple[%s]' % ', '.join([result] + [py_type(p[1], class_of) for p in outs])
        args = ''.join(', %s: %s' % (p[0], py_type(p[1], class_of)) for p in ins)
        puts = [x for x in itf['members'] if x['name'] == m['name'] and x['kind'] == 'put']
        if m['kind'] == 'get' and not ins:
            out += ['    @property', '    def %s(self) -> %s:' % (m['name'], result),
                    '        """%s"""' % m['help']]
            if puts:
                out += ['    @%s.setter' % m['name'],
                        '    def %s(self, value: %s) -> None: ...' % (m['name'], result)]
        else:
            out += ['    def %s(self%s) -> %s:' % (m['name'], args, result),
                    '        """%s"""' % m['help']]
        if m['id'] == 0 and ins:
            index = py_type(ins[0][1], class_of)
            out += ['    def __getitem__(self, index: %s) -> %s: ...' % (index, result),
                    '    def __call__(self, index: %s) -> %s: ...' % (index, result)]
            if puts:
                out.append('    def __setitem__(self, index: %s, value: %s) -> None: ...' %
                           (index, result))
            out += ['    def __len__(self) -> int: ...',
                    '    def __iter__(self) -> Iterator[%s]: ...' % result]
    return out


def stub(desc):
    class_of = {c['interface']: c['name'] for c in desc['classes']}
    out = ['# Generated from Quellar.idl by gen_typelib.py; do not edit.',
           'from enum import IntEnum', 'from typing import Any, Iterator, TypeAlias', '',
           'import numpy', '']
    for e in desc['enums']:
        out.append('class %s(IntEnum):' % e['name'])
        out += ['    %s = %d' % (n, v) for n, v in e['members']]
        out.append('')
    for e in desc['enums']:
        out += ['%s: %s' % (n, e['name']) for n, _ in e['members']]
    out += ['_%s: TypeAlias = "%s"' % (c['name'], c['name']) for c in desc['classes']]
    out += ['', 'class Object:', '    """An object of the library, reached late bound."""',
            '    def __eq__(self, other: object) -> bool: ...',
            '    def __hash__(self) -> int: ...', '']
    for name, itf in desc['interfaces'].items():
        if not itf['dispinterface']:
            out += ['class %s(Object):' % name, '    """%s"""' % itf['help']]
            out += members(itf, class_of) + ['']
    for c in desc['classes']:
        out += ['class %s(%s):' % (c['name'], c['interface']), '    """%s"""' % c['help']]
        if c['name'] in ('DoubleArray', 'ByteArray'):
            out += ['    def __init__(self, data: Any = None) -> None: ...',
                    '    def __array__(self, dtype: Any = None) -> numpy.ndarray: ...']
        out.append('')
    return '\n'.join(out) + '\n'


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.path.insert(0, sys.argv[1])
    import gen_tlb
    with open(sys.argv[2], encoding='utf-8') as f:
        try:
            lib = gen_tlb.Parser(f.read()).parse()
        except gen_tlb.IdlError as e:
            sys.exit('%s: %s' % (sys.argv[2], e))
    desc = describe(lib)
    os.makedirs(sys.argv[3], exist_ok=True)
    with open(os.path.join(sys.argv[3], '_typelib.py'), 'w', encoding='utf-8') as f:
        f.write('# Generated from Quellar.idl by gen_typelib.py; do not edit.\n')
        f.write('LIBRARY = ' + pprint.pformat(desc, width=100, sort_dicts=False) + '\n')
    with open(os.path.join(sys.argv[3], 'objects.pyi'), 'w', encoding='utf-8') as f:
        f.write(stub(desc))


if __name__ == '__main__':
    main()

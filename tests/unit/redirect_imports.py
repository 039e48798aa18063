#!/usr/bin/env python3
"""Copies the program's objects into a static library whose calls of
platform functions go to the fault-injection layer (fault_layer.cpp):
`__imp_X` becomes `__imp_fault_X`, and a function called directly through
its import thunk, `X`, becomes `fault_X`. Only these copies are redirected;
the test code, the C runtime and the shipped image keep calling the
platform itself.

usage: redirect_imports.py NM OBJCOPY AR LIBRARY OBJECT...
"""
import os
import subprocess
import sys
import tempfile

nm, objcopy, ar, library, objects = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]


def symbols(obj, flag):
    out = subprocess.run([nm, flag, obj], check=True, capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


defined = set()
for obj in objects:
    defined |= symbols(obj, '--defined-only')

with tempfile.TemporaryDirectory(dir=os.path.dirname(library)) as work:
    copies = []
    for i, obj in enumerate(objects):
        renames = []
        for name in sorted(symbols(obj, '--undefined-only') - defined):
            if name.startswith('__imp_'):
                renames.append(f'{name}=__imp_fault_{name[6:]}')
            elif name[0].isupper():
                # Platform functions are CamelCase; the program's own
                # (load_system_dll, memset) and the compiler's are not.
                renames.append(f'{name}=fault_{name}')
        copy = os.path.join(work, f'{i}_{os.path.basename(obj)}')
        subprocess.run([objcopy] + [f'--redefine-sym={r}' for r in renames] + [obj, copy], check=True)
        copies.append(copy)
    if os.path.exists(library):
        os.remove(library)
    subprocess.run([ar, 'rcs', library] + copies, check=True)

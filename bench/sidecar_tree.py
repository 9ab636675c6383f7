#!/usr/bin/env python3
# Makes the copy benchmarks' tree: ROOT/dNNN/fNNNN, FOLDERS folders of FILES
# one-line files, one in ten with a resource fork in a Samba-form sidecar.
#   sidecar_tree.py ROOT FOLDERS FILES
import os, struct, sys
root, folders, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def sidecar(fork):
    h = struct.pack('>II', 0x00051607, 0x00020000) + b'Netatalk        ' + struct.pack('>H', 2)
    h += struct.pack('>III', 2, 0x52, len(fork)) + struct.pack('>III', 9, 0x32, 32)
    return h.ljust(0x52, b'\0') + fork
for d in range(folders):
    p = os.path.join(root, 'd%03d' % d)
    os.makedirs(p)
    for f in range(files):
        name = os.path.join(p, 'f%04d' % f)
        with open(name, 'w') as o:
            o.write('file %d %d\n' % (d, f))
        if f % 10 == 0:
            with open(os.path.join(p, '._f%04d' % f), 'wb') as o:
                o.write(sidecar(b'fork %d %d\n' % (d, f)))

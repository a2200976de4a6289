#!/usr/bin/env python3
"""The script an administrator would write instead: os.walk, os.rename, one buffered log.

    admin_rename.py ROOT TABLE LOG

Decodes the way the program does: an escape is ':' and two hex digits; escapes of '.' and '/',
and escapes whose table byte is 0 or '/', are kept.
"""
import os
import re
import sys


def main():
    root, table_path, log_path = (os.fsencode(a) for a in sys.argv[1:4])
    with open(table_path, 'rb') as f:
        table = f.read(256).ljust(256, b'\0')
    escape = re.compile(rb':([0-9A-Fa-f]{2})')

    def byte_for(match):
        value = int(match.group(1), 16)
        byte = table[value]
        if value in (0x2E, 0x2F) or byte in (0, 0x2F):
            return match.group(0)
        return bytes((byte,))

    with open(log_path, 'ab') as log:
        for folder, subfolders, files in os.walk(root, topdown=False):
            for name in files + subfolders:
                if b':' not in name:
                    continue
                new = escape.sub(byte_for, name)
                if new == name:
                    continue
                old_path = os.path.join(folder, name)
                new_path = os.path.join(folder, new)
                log.write(old_path + b' -> ' + new_path + b'\r\n')
                os.rename(old_path, new_path)


if __name__ == '__main__':
    main()

#!/bin/sh
# Runs visa_client.py with Debian's Python, which has python3-pyvisa; skipped
# (77) where no Python with PyVISA is there.
here=$(cd "$(dirname "$0")" && pwd)
for python in /usr/bin/python3 python3; do
    if command -v "$python" >/dev/null 2>&1 && "$python" -c 'import pyvisa, pyvisa_py' 2>/dev/null; then
        exec "$python" "$here/visa_client.py" "$@"
    fi
done
echo "no Python with PyVISA and pyvisa-py (python3-pyvisa, python3-pyvisa-py): skipped"
exit 77

#!/usr/bin/env python3
"""Signs on to the demo host the way py3270 drives s3270.

The program is found as `s3270` on PATH with tn3270's libexec directory put
first (where the install links s3270 to tn3270), started with the options
py3270 passes, and spoken to as py3270 speaks: one action a line, the answer
read up to its `ok` or `error`, the status line the line before it.

  py3270_signon.py LIBEXEC_DIR TN3270
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


class Emulator:
    def __init__(self, path):
        self.proc = subprocess.Popen([path, '-xrm', 's3270.unlockDelay: False', '-model', '3279-2'],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def exec_command(self, cmd):
        self.proc.stdin.write(cmd.encode('utf-8') + b'\n')
        self.proc.stdin.flush()
        data = []
        while True:
            line = self.proc.stdout.readline().decode('utf-8')
            if not line:
                raise RuntimeError(f'{cmd}: the program ended')
            line = line.rstrip('\n')
            if line in ('ok', 'error'):
                status = data.pop()
                if line == 'error':
                    raise RuntimeError(f'{cmd}: ' + ' / '.join(d[6:] for d in data))
                return [d[6:] for d in data], status
            data.append(line)

    def string_get(self, row, col, length):
        # py3270 takes 1-based positions and asks Ascii with 0-based ones.
        data, _ = self.exec_command(f'Ascii({row - 1},{col - 1},{length})')
        return data[0]


def main():
    libexec, tool = sys.argv[1], sys.argv[2]
    os.environ['PATH'] = libexec + os.pathsep + os.environ.get('PATH', '')
    found = shutil.which('s3270')
    assert found and os.path.realpath(found) == os.path.realpath(tool), f's3270 on PATH is {found}'
    host = subprocess.Popen([tool, '--demo-host'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        port = host.stdout.readline().decode().strip()
        em = Emulator('s3270')
        em.exec_command(f'Connect(127.0.0.1:{port})')
        em.exec_command('Wait(30, InputField)')
        assert em.string_get(1, 2, 6) == 'SGN001', em.string_get(1, 2, 6)
        em.exec_command('MoveCursor(9,27)')
        em.exec_command('String("demo")')
        em.exec_command('MoveCursor(11,27)')
        em.exec_command('String("secret")')
        em.exec_command('Enter')
        em.exec_command('Wait(30, InputField)')
        assert em.string_get(1, 2, 6) == 'MNU001', em.string_get(1, 2, 6)
        _, status = em.exec_command('Query(Cursor)')
        assert re.match(r'^U F U C\(127\.0\.0\.1\) I \d+ 24 80 \d+ \d+ 0x0 \d+\.\d{3}$', status), status
        with tempfile.TemporaryDirectory() as d:
            page = os.path.join(d, 'screen.html')
            em.exec_command(f'PrintText(html,file,{page})')
            with open(page, encoding='utf-8') as f:
                text = f.read()
            assert text.count('<pre') == 1 and 'MNU001' in text, text[:200]
        _, status = em.exec_command('Quit')
        assert em.proc.wait(timeout=10) == 0
        print('signed on through', found)
    finally:
        host.terminate()
        host.wait()


if __name__ == '__main__':
    main()

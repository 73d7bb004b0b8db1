#!/usr/bin/env python3
"""Feeds action scripts to an s3270-protocol program and compares its answers.

Each script (tests/s3270/scripts/*.actions) holds actions, one a line, each
followed by the answer expected, indented by two blanks: the data lines, the
status line and ok or error. The answers were recorded from Debian's s3270
(--record) against the demo host with its fixed clock; every run feeds the
same actions to `tn3270 --s3270` and, where it is installed, to s3270 itself,
each against a demo host of its own, and both must answer line for line.

  Connect(127.0.0.1:$PORT)        $PORT: the demo host's port
    U F U C(127.0.0.1) I 2 24 80 9 27 0x0 -
    ok

The status line's last field (the execution time) is never compared. An
action marked `~ ` can never match (versions, TLS providers, code-page
lists): only the status line and the last line are compared.
An action marked `% ` is compared after the markup is taken out (PrintText
html: the text must agree, the page around it may differ). A line
`#! args: ...` sets the program's options for the script; `#! only: tn3270`
marks a script of what this program does beyond s3270 (answers written by
hand, not recorded).
"""
import argparse
import html
import os
import re
import select
import shlex
import subprocess
import sys
import tempfile
import time

DEFAULT_ARGS = ['-xrm', 's3270.unlockDelay: False', '-codepage', 'cp037', '-model', '3278-2']
ANSWER_TIMEOUT = 30.0
STATUS = re.compile(r'^[ULE] [FU] [PU] (C\(.*\)|N) [INPCL] \d+ \d+ \d+ \d+ \d+ 0x\w+ \S+$')


class Step:
    def __init__(self, action, mode):
        self.action, self.mode, self.expected = action, mode, []


def ours_only(path):
    with open(path, encoding='utf-8') as f:
        return any(l.startswith('#! only: tn3270') for l in f)


def load(path):
    args, steps = list(DEFAULT_ARGS), []
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.rstrip('\n')
            if line.startswith('#! args:'):
                args = shlex.split(line[len('#! args:'):])
            elif line.startswith('  '):
                if not steps:
                    raise ValueError(f'{path}: an answer before any action')
                steps[-1].expected.append(line[2:])
            elif line.strip() == '' or line.startswith('#'):
                continue
            else:
                mode = line[0] if line[:2] in ('~ ', '% ') else ''
                steps.append(Step(line[2:] if mode else line, mode))
    return args, steps


def normal(line):
    """The line with the execution time taken out of a status line."""
    if STATUS.match(line):
        return line.rsplit(' ', 1)[0] + ' -'
    return line


def text_of(lines):
    """PrintText html answers: the text of the page's <pre> block (tags taken
    out, entities read back, rows stripped on the right), and the framing."""
    body = '\n'.join(l[6:] for l in lines if l.startswith('data: '))
    pre = re.search(r'<pre[^>]*>(.*)</pre>', body, re.S)
    text = html.unescape(re.sub(r'<[^>]*>', '', pre.group(1) if pre else body))
    return [l.rstrip() for l in text.split('\n')] + [l for l in lines if not l.startswith('data: ')]


class Program:
    def __init__(self, argv, env):
        # Standard error to a file: a sanitizer's report must not block it.
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, env=env)
        self.buf = b''

    def line(self, deadline):
        while b'\n' not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('no answer in time')
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise EOFError('the program ended')
                self.buf += chunk
        line, self.buf = self.buf.split(b'\n', 1)
        return line.decode('utf-8', 'replace')

    def ask(self, action):
        self.proc.stdin.write(action.encode('utf-8') + b'\n')
        self.proc.stdin.flush()
        deadline, answer = time.monotonic() + ANSWER_TIMEOUT, []
        while True:
            answer.append(self.line(deadline))
            if answer[-1] in ('ok', 'error'):
                return answer

    def close(self):
        """Ends the program; its exit code and, when that is not 0, the end of
        its standard error (a crash or a sanitizer's report)."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.err.seek(0)
        return self.proc.returncode, self.err.read().decode('utf-8', 'replace')[-2000:]


def run(program_argv, host_program, script, record):
    args, steps = load(script)
    host = subprocess.Popen([host_program, '--demo-host', '--fixed-clock'], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        port = host.stdout.readline().decode().strip()
        if not port.isdigit():
            raise RuntimeError('the demo host printed no port')
        env = dict(os.environ, LANG='C.UTF-8', LC_ALL='C.UTF-8')
        prog = Program(program_argv + args, env)
        failures = []
        try:
            for step in steps:
                action = step.action.replace('$PORT', port)
                try:
                    got = prog.ask(action)
                except (TimeoutError, EOFError) as e:
                    failures.append(f'{step.action}: {e}')
                    break
                if record:
                    step.expected = [normal(l) for l in got]
                    continue
                want = [normal(l.replace('$PORT', port)) for l in step.expected]
                have = [normal(l) for l in got]
                if step.mode == '~':
                    same = want[-2:] == have[-2:]
                elif step.mode == '%':
                    same = text_of(want) == text_of(have)
                else:
                    same = want == have
                if not same:
                    failures.append(f'{step.action}:\n    expected: ' + '\n              '.join(want) +
                                    '\n    got:      ' + '\n              '.join(have))
        finally:
            code, err = prog.close()
            if code != 0:
                failures.append(f'exit code {code}: {err}')
        if record:
            write(script, args, steps, port)
        return failures
    finally:
        host.terminate()
        host.wait()


def write(script, args, steps, port):
    with open(script, encoding='utf-8') as f:
        head = [l for l in f.read().split('\n') if l.startswith('#')]
    with open(script, 'w', encoding='utf-8') as f:
        for l in head:
            f.write(l + '\n')
        for step in steps:
            f.write((step.mode + ' ' if step.mode else '') + step.action + '\n')
            # A step compared by its framing keeps only the framing.
            for l in (step.expected[-2:] if step.mode == '~' else step.expected):
                f.write('  ' + l.replace(port, '$PORT') + '\n')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--tool', required=True, help='the tn3270 program')
    ap.add_argument('--s3270', default='s3270', help="Debian's s3270 (default: from PATH)")
    ap.add_argument('--record', action='store_true', help="write the answers of s3270 into the scripts")
    ap.add_argument('scripts', nargs='+')
    o = ap.parse_args()
    peer = None
    for d in [''] + os.environ.get('PATH', '').split(os.pathsep):
        candidate = o.s3270 if os.sep in o.s3270 else os.path.join(d, o.s3270) if d else None
        if candidate and os.access(candidate, os.X_OK) and 'libexec' not in candidate:
            peer = candidate
            break
    programs = []
    if o.record:
        if not peer:
            sys.exit('--record needs s3270')
        programs = [('s3270', [peer])]
    else:
        programs = [('tn3270 --s3270', [o.tool, '--s3270'])]
        if peer:
            programs.append(('s3270', [peer]))
        else:
            print('s3270 is not installed: only tn3270 --s3270 is checked against the recorded answers')
    bad = 0
    for script in o.scripts:
        for name, argv in programs:
            if name == 's3270' and ours_only(script):
                continue
            failures = run(argv, o.tool, script, o.record)
            for f in failures:
                print(f'FAIL {os.path.basename(script)} [{name}] {f}')
            bad += len(failures)
            print(f'{"ok  " if not failures else "FAIL"} {os.path.basename(script)} [{name}]')
    sys.exit(1 if bad else 0)


if __name__ == '__main__':
    main()

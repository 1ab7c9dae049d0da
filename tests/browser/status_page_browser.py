#!/usr/bin/env python3
"""Drives the status page in Debian's headless Chromium against a real headless run over a loopback farm.

Usage: status_page_browser.py PROGRAM [SCREENSHOT_DIR]
Exit 77 (skipped) when no chromium is installed. Everything listens on 127.0.0.1; the browser is driven over
the DevTools protocol with a websocket client written here on the standard library, so nothing is fetched.
"""
import base64
import collections
import http.server
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

WAIT_S = 60  # bound on every wait: a fault fails the test instead of hanging it
UPDATE_S = 5  # the page's update period (status.js)


class Farm(http.server.ThreadingHTTPServer):
    daemon_threads = True
    flip_down = False


class FarmHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        down = self.path.startswith('/down') or (self.path.startswith('/flip') and self.server.flip_down)
        body = b'down' if down else b'ok'
        self.send_response(503 if down else 200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


class DevTools:
    """One websocket to the browser; commands go to the page's session (flat mode)."""

    def __init__(self, ws_url):
        m = re.match(r'ws://([^:/]+):(\d+)(/.*)', ws_url)
        self.sock = socket.create_connection((m.group(1), int(m.group(2))), timeout=WAIT_S)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f'GET {m.group(3)} HTTP/1.1\r\nHost: {m.group(1)}:{m.group(2)}\r\nUpgrade: websocket\r\n'
                           f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n')
                          .encode())
        head = b''
        while b'\r\n\r\n' not in head:
            head += self.sock.recv(1)
        if b' 101 ' not in head.split(b'\r\n')[0]:
            raise RuntimeError('websocket refused: %r' % head)
        self.next_id = 0
        self.session = None
        self.events = []

    def _send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        header = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                  bytes([0x80 | 126]) + struct.pack('>H', n) if n < 65536 else
                                  bytes([0x80 | 127]) + struct.pack('>Q', n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _exact(self, n):
        out = b''
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise RuntimeError('browser closed the connection')
            out += chunk
        return out

    def _receive(self):
        message = b''
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7f
            if n == 126:
                n = struct.unpack('>H', self._exact(2))[0]
            elif n == 127:
                n = struct.unpack('>Q', self._exact(8))[0]
            payload = self._exact(n)
            if b0 & 0x0f in (0x1, 0x0):
                message += payload
                if b0 & 0x80:
                    return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params}
        if self.session and not method.startswith('Target.'):
            message['sessionId'] = self.session
        self._send(json.dumps(message))
        while True:
            answer = self._receive()
            if answer.get('id') == self.next_id:
                if 'error' in answer:
                    raise RuntimeError(f'{method}: {answer["error"]}')
                return answer['result']
            self.events.append(answer)

    def js(self, expression):
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True, awaitPromise=True)
        if 'exceptionDetails' in result:
            raise RuntimeError(f'{expression}: {result["exceptionDetails"]}')
        return result['result'].get('value')

    def set(self, selector, value, event):
        """Gives a form field a value as typing would, and tells the page."""
        self.js(f"(e => {{ e.value = {json.dumps(value)}; e.dispatchEvent(new Event('{event}')); }})"
                f"(document.querySelector('{selector}'))")

    def wait(self, expression, what, seconds=WAIT_S):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.js(expression):
                return
            time.sleep(0.2)
        # What the page showed and its last requests, for the failure's reader.
        state = self.js("JSON.stringify({updated: document.querySelector('#updated').textContent, "
                        "rows: document.querySelectorAll('#list-rows tr').length, "
                        "requests: performance.getEntriesByType('resource').slice(-6)"
                        ".map(e => [e.name, Math.round(e.startTime), Math.round(e.duration), e.responseStatus])})")
        raise AssertionError(f'timed out ({seconds} s): {what}; the page: {state}')


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print('ok:', what)


def api(base, path):
    with urllib.request.urlopen(base + path, timeout=10) as answer:
        return json.loads(answer.read())


def main():
    program = sys.argv[1]
    shots = sys.argv[2] if len(sys.argv) > 2 else os.environ.get('PATROL_SCREENSHOT_DIR', '')
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('skipped: no chromium installed (tools/install-deps.sh installs Debian\'s)')
        return 77

    work = tempfile.mkdtemp(prefix='patrol-page-')
    farm = Farm(('127.0.0.1', 0), FarmHandler)
    threading.Thread(target=farm.serve_forever, daemon=True).start()
    root = f'http://127.0.0.1:{farm.server_address[1]}'
    sites = [f'{root}/ok/<b>bold</b>"q\''] + [f'{root}/ok-{i}' for i in range(250)] + [f'{root}/down', f'{root}/flip']
    with open(os.path.join(work, 'sites.txt'), 'w') as f:
        f.write('\n'.join(sites) + '\n')

    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=work, LC_ALL='C.UTF-8')
    run = subprocess.Popen([program, '--sites', os.path.join(work, 'sites.txt'), '--listen', '127.0.0.1:0',
                            '--interval', '1', '--timeout', '5', '--history', os.path.join(work, 'h.sqlite')],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    browser = None
    said = collections.deque(maxlen=60)
    try:
        base = None
        deadline = time.monotonic() + WAIT_S
        while base is None and time.monotonic() < deadline:
            line = run.stderr.readline().decode()
            if not line and run.poll() is not None:
                raise AssertionError('the program ended early')
            m = re.search(r'(http://127\.0\.0\.1:\d+)/metrics', line)
            base = m.group(1) if m else None
        # Keeps its stderr from filling up, and its tail for a failure's reader (a sanitizer's report ends it).
        threading.Thread(target=lambda: said.extend(l.decode(errors='replace') for l in run.stderr), daemon=True).start()

        browser = subprocess.Popen([chromium, '--headless=new', '--no-sandbox', '--disable-gpu',
                                    '--no-first-run', '--disable-extensions', '--disable-background-networking',
                                    '--disable-component-update', '--disable-sync', '--remote-debugging-port=0',
                                    f'--user-data-dir={work}/chromium', 'about:blank'],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        ws_url = None
        while ws_url is None:
            line = browser.stderr.readline().decode()
            if not line:
                raise AssertionError('chromium did not start')
            m = re.search(r'DevTools listening on (ws://\S+)', line)
            ws_url = m.group(1) if m else None
        threading.Thread(target=browser.stderr.read, daemon=True).start()

        tools = DevTools(ws_url)
        target = tools.call('Target.createTarget', url='about:blank')['targetId']
        tools.session = tools.call('Target.attachToTarget', targetId=target, flatten=True)['sessionId']
        tools.call('Runtime.enable')
        tools.call('Page.enable')
        tools.call('Emulation.setDeviceMetricsOverride', width=1280, height=900, deviceScaleFactor=1, mobile=False)
        tools.call('Page.navigate', url=base + '/')

        tools.wait("document.querySelectorAll('#abnormal-rows tr').length == 1 && "
                   "document.querySelector('#abnormal-rows').textContent.includes('/down')",
                   'the abnormal site is listed')
        tools.wait("document.querySelectorAll('#list-rows tr').length == 200", 'the script shows the first page')
        check(tools.js("document.querySelector('#page-info').textContent") == '第 1 / 2 页，共 253 个',
              'the list has two pages of 200')
        hostile = tools.js("[...document.querySelectorAll('#list-rows td.url')].map(td => td.textContent)"
                           ".filter(t => t.includes('bold'))")
        check(len(hostile) == 1 and '<b>bold</b>' in hostile[0] and
              tools.js("document.querySelectorAll('#list-rows b').length") == 0,
              'a URL holding markup and quotes shows as text')

        # A site going down shows up within one update, without a reload and keeping the scroll position.
        tools.js('window.notReloaded = true; window.scrollTo(0, 400); 1')
        scroll = tools.js('window.scrollY')
        farm.flip_down = True
        deadline = time.monotonic() + WAIT_S
        while not any(s['url'].endswith('/flip') for s in api(base, '/api/status')['abnormalSites']):
            if time.monotonic() > deadline:
                raise AssertionError('the run never found the flipped site abnormal')
            time.sleep(0.2)
        tools.wait("document.querySelector('#abnormal-rows').textContent.includes('/flip')",
                   'the site gone down appears within one update', 2 * UPDATE_S + 2)
        check(tools.js('window.notReloaded === true'), 'the page updated without reloading')
        # The row added above may make the browser's scroll anchoring move the offset down by its height.
        check(scroll - 1 <= tools.js('window.scrollY') <= scroll + 200, 'the scroll position is kept')
        check(tools.js("document.querySelector('#s-abnormal').textContent") == '2', 'the summary counts it')

        # Search and paging.
        tools.set('#q', 'OK-12', 'input')
        tools.wait("document.querySelectorAll('#list-rows tr').length == 11", 'the search finds ok-12 and ok-120..129')
        updated = tools.js("document.querySelector('#updated').textContent")
        tools.wait(f"document.querySelector('#updated').textContent != {json.dumps(updated)}", 'another update ran')
        check(tools.js("document.querySelectorAll('#list-rows tr').length") == 11 and
              tools.js("document.querySelector('#q').value") == 'OK-12', 'an update keeps the search')
        tools.set('#q', '', 'input')
        tools.wait("document.querySelectorAll('#list-rows tr').length == 200", 'the cleared search shows all')
        tools.js("document.querySelector('#next').click(); 1")
        tools.wait("document.querySelector('#page-info').textContent.startsWith('第 2 / 2 页') && "
                   "document.querySelectorAll('#list-rows tr').length == 53", 'the next page holds the rest')
        tools.set('#state', 'abnormal', 'change')
        tools.wait("document.querySelectorAll('#list-rows tr.abnormal').length == 2 && "
                   "document.querySelectorAll('#list-rows tr').length == 2", 'the state filter')

        def columns():
            return tools.js("new Set([...document.querySelectorAll('#summary .card')].map(c => c.offsetLeft)).size")

        check(columns() == 6, 'the desktop shows the summary side by side')
        tools.js('window.scrollTo(0, 0); 1')
        if shots:
            os.makedirs(shots, exist_ok=True)
            tools.set('#state', 'all', 'change')
            tools.wait("document.querySelectorAll('#list-rows tr').length == 200", 'all sites again')
            data = tools.call('Page.captureScreenshot', format='png')['data']
            with open(os.path.join(shots, 'status-page-desktop.png'), 'wb') as f:
                f.write(base64.b64decode(data))
        tools.call('Emulation.setDeviceMetricsOverride', width=390, height=844, deviceScaleFactor=2, mobile=True)
        tools.wait("window.innerWidth == 390", 'the phone width applies')
        check(columns() == 1, 'the phone shows one column')
        check(tools.js("getComputedStyle(document.querySelector('#abnormal-rows td')).display") == 'block' and
              tools.js("document.documentElement.scrollWidth <= 390"), 'the tables fold into one column')
        if shots:
            data = tools.call('Page.captureScreenshot', format='png')['data']
            with open(os.path.join(shots, 'status-page-phone.png'), 'wb') as f:
                f.write(base64.b64decode(data))

        errors = [e for e in tools.events if e.get('method') == 'Runtime.exceptionThrown']
        check(not errors, 'the script threw nothing')
        return 0
    except Exception:
        if run.poll() is not None:
            print(f'the program ended with {run.returncode}; its last words:\n' + ''.join(said), file=sys.stderr)
        raise
    finally:
        for process in (browser, run):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
        farm.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())

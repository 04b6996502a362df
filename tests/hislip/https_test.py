"""The page over HTTPS from the program itself: the CA certificate an earlier
version made in the state folder replaced by a server's; curl with the
certificate the program made, whose fingerprint the page shows, and the
identification document's links in https://; openssl s_client with TLS 1.3
and 1.2 taken and TLS 1.1 refused; nothing in plain text on the HTTPS port.
Usage: https_test.py PROGRAM; exits 77 (skipped) where curl or openssl is
missing."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
from web_program import Program, curl, expect  # noqa: E402


def s_client(port, certificate, *options):
    return subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-CAfile", certificate,
                           "-verify_hostname", "localhost", *options],
                          input="", capture_output=True, text=True, timeout=30).stdout


def main():
    program = sys.argv[1:]
    if missing := [tool for tool in ("curl", "openssl") if not shutil.which(tool)]:
        print(f"{missing[0]} is not installed: skipped")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="https-test-") as folder:
        certificate, host = os.path.join(folder, "tls-certificate.pem"), socket.gethostname()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-subj", f"/O=rfswitch-panel/CN={host}", "-keyout", os.path.join(folder, "tls-key.pem"), "-out", certificate, "-days", "30",
                        "-addext", "basicConstraints=critical,CA:TRUE",
                        "-addext", f"subjectAltName=DNS:{host},DNS:{host}.local,DNS:localhost,IP:127.0.0.1,IP:::1"],
                       capture_output=True, check=True)
        with Program(program + ["--headless", "--https", "127.0.0.1:0", "--simulate", "--port", "4096",
                                "--state-dir", folder]) as served:
            expect("what the start said of the CA's certificate", served.line("made a "),
                   f"made a self-signed TLS certificate for {host}: {certificate} (the one kept was a CA's certificate)")
            fingerprint = served.line("TLS certificate ").rsplit(" ", 1)[1]
            url = served.line("web page on ").split()[-1]
            expect("the page's address", url.startswith("https://127.0.0.1:"), True)
            port = served.port("web page on ")
            secure = url.replace("127.0.0.1", "localhost")
            code, state = curl(secure + "api/state", "--cacert", certificate, parse=True)
            expect("the fingerprint in the state over HTTPS", (code, state.get("certificate")), (200, fingerprint))
            expect("the page's place for the fingerprint", 'id="certificate"' in curl(secure, "--cacert", certificate)[1], True)
            code, document = curl(secure + "lxi/identification", "--cacert", certificate)
            expect("the identification's links over HTTPS", (code, [e.text for e in ElementTree.fromstring(document) if e.tag.endswith("URL")]),
                   (200, [f"https://127.0.0.1:{port}/", f"https://127.0.0.1:{port}/lxi/identification"]))
            plain = subprocess.run(["curl", "-sS", "-m", "10", url.replace("https", "http") + "api/state"],
                                   capture_output=True, text=True, timeout=30)
            if plain.returncode == 0:
                sys.exit(f"plain HTTP answered on the HTTPS port: {plain.stdout[:100]}")

            for option, version in (("-tls1_3", "TLSv1.3"), ("-tls1_2", "TLSv1.2")):
                said = s_client(port, certificate, option)
                if f"New, {version}, Cipher is " not in said or "Verify return code: 0 (ok)" not in said:
                    sys.exit(f"openssl s_client {option}:\n{said}")
            said = s_client(port, certificate, "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0")
            if "Cipher is (NONE)" not in said:
                sys.exit(f"a TLS 1.1 handshake was taken:\n{said}")
    print("HTTPS: all passed")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A signed setup's whole life under Wine, with real signing and checking tools.

    signed_setup.py --loader /usr/lib/wine/wine64 --engine build/win64/Setup.exe \\
                    --mksetup build/host/mksetup --work build/win64/signed-setup

Makes a throwaway code-signing certificate with openssl, packs the sample product with
`mksetup pack --sign 'osslsigncode sign ...'`, and checks that:

- osslsigncode accepts the setup's signature, and its checksum is right (pefile);
- the setup installs silently (Wine, a fresh prefix of its own);
- the installed Uninstall.exe carries a signature osslsigncode accepts, ends where that
  signature ends ("not at the end" never said), has the right checksum, and its
  language-neutral icon group 101 is a copy of group 102 (pefile);
- that uninstaller, given the installation folder, removes the product silently.

The engine's folder is a build tree: the sample's programs and helper libraries come from it,
so the 32-bit tree works alike with --loader /usr/lib/wine/wine.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import pefile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINESERVER = "/usr/lib/wine/wineserver"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tool"
RT_GROUP_ICON = 14


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def run(command, env, expect=0):
    """Runs a command; returns its output (stdout and stderr together). The output goes through
    a file: Wine's background services inherit the handles and outlive the program."""
    with tempfile.TemporaryFile() as out:
        done = subprocess.run(command, env=env, stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, timeout=300)
        out.seek(0)
        output = out.read().decode("utf-8", "replace")
    if expect is not None:
        check(done.returncode == expect, "%s exited with %d, not %d:\n%s"
              % (" ".join(command), done.returncode, expect, output))
    return output


def sample_files(build):
    tool = os.path.join(SOURCE, "samples", "tool")
    payload = os.path.join(build, "samples", "payload")
    # As samples/tool/sample.cmake packs them.
    return [os.path.join(tool, "Uninstall.vis"), os.path.join(tool, "Tool.chm"),
            os.path.join(tool, "Setup.vis"), os.path.join(payload, "Tool32.exe"),
            os.path.join(payload, "Tool64.exe"), os.path.join(tool, "EULA.txt"),
            os.path.join(build, "SetupLib32.dll"), os.path.join(build, "SetupLib64.dll"),
            os.path.join(tool, "Tool.pat")]


def verify_signature(path, certificate, env):
    """osslsigncode accepts the signature, finds it at the end and agrees with the checksum."""
    output = run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path], env, None)
    check("Signature verification: ok" in output and output.rstrip().endswith("Succeeded"),
          "osslsigncode does not accept %s:\n%s" % (path, output))
    for complaint in ("not at the end", "MISMATCH"):
        check(complaint not in output, "osslsigncode on %s says %r:\n%s"
              % (path, complaint, output))


def group_icon(image, group, language=None):
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_GROUP_ICON:
            continue
        for entry in kind.directory.entries:
            if entry.id != group:
                continue
            for lang in entry.directory.entries:
                if language is None or lang.id == language:
                    data = lang.data.struct
                    return image.get_data(data.OffsetToData, data.Size)
    return None


def check_image(path, signed_uninstaller):
    image = pefile.PE(path)
    check(image.OPTIONAL_HEADER.CheckSum == image.generate_checksum(),
          "%s: checksum %08X, computed %08X"
          % (path, image.OPTIONAL_HEADER.CheckSum, image.generate_checksum()))
    security = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[
        "IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    check(security.Size > 0 and security.VirtualAddress + security.Size == os.path.getsize(path),
          "%s: the certificate table does not end the file" % path)
    if signed_uninstaller:
        uninstall = group_icon(image, 102)
        check(uninstall is not None and len(uninstall) == 6 + 12 * 14, "%s: no group 102" % path)
        check(group_icon(image, 101, 0) == uninstall,
              "%s: group 101, language 0, is not a copy of group 102" % path)
        check(group_icon(image, 101, 0x0C07) != uninstall, "%s: group 101 itself changed" % path)


def linux_path(prefix, windows):
    return os.path.join(prefix, "drive_c", *windows[3:].split("\\"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--loader", required=True, help="wine or wine64")
    parser.add_argument("--engine", required=True, help="Setup.exe of a build tree")
    parser.add_argument("--mksetup", required=True)
    parser.add_argument("--work", required=True, help="scratch folder, made anew")
    args = parser.parse_args()
    if not os.access(args.loader, os.X_OK):
        print("signed setup: this machine cannot run %s" % args.loader, file=sys.stderr)
        sys.exit(77)
    if not os.environ.get("DISPLAY"):
        os.execvp("xvfb-run", ["xvfb-run", "-a", sys.executable] + sys.argv)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "prefix")
    home = os.path.join(work, "home")
    for folder in (prefix, home):
        os.makedirs(folder)
    env = dict(os.environ, WINEPREFIX=prefix, HOME=home, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")

    certificate = os.path.join(work, "cert.pem")
    key = os.path.join(work, "key.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=Signed Setup Test Vendor", "-keyout", key, "-out", certificate], env)

    # The setup sits in a folder whose name needs quoting in the signing command.
    setup_folder = os.path.join(work, "out folder")
    os.makedirs(setup_folder)
    setup = os.path.join(setup_folder, "ToolSetup.exe")
    sign = "osslsigncode sign -certs %s -key %s -in {in} -out {out}" % (certificate, key)
    run([args.mksetup, "pack", "--engine", args.engine, "--out", setup, "--sign", sign]
        + sample_files(os.path.dirname(os.path.abspath(args.engine))), env)
    check(sorted(os.listdir(setup_folder)) == ["ToolSetup.exe"],
          "pack left files behind: %s" % os.listdir(setup_folder))
    listing = run([args.mksetup, "list", setup], env)
    check(listing.startswith("Uninstall.vis\t") and "<Signed Uninstaller " in listing,
          "unexpected entries:\n" + listing)
    verify_signature(setup, certificate, env)
    check_image(setup, False)

    run([WINESERVER, "-p"], env)
    try:
        run([args.loader, "wineboot", "--init"], env, None)
        installed = r"C:\Apps\Tool"
        run([args.loader, setup, installed], env)
        with open(setup + ".log", "rb") as log:
            # The log is UTF-8 and begins with its byte-order mark.
            check(log.read() == b"\xef\xbb\xbfSetup finished successfully!\r\n",
                  "the install failed")
        uninstaller = os.path.join(linux_path(prefix, installed), "Uninstall.exe")
        verify_signature(uninstaller, certificate, env)
        check_image(uninstaller, True)
        with open(uninstaller, "rb") as f:
            data = f.read()
        check(b"SetupMode:Unins" in data and b"SetupMode:Setup" not in data,
              "the uninstaller's mode marker is wrong")
        run([args.loader, "reg", "query", UNINSTALL_KEY, "/reg:32"], env)

        # The signed uninstaller, given the folder, removes the product silently.
        run([args.loader, installed + r"\Uninstall.exe", installed], env)
        check(not os.path.exists(linux_path(prefix, installed)), "the product folder stays")
        run([args.loader, "reg", "query", UNINSTALL_KEY, "/reg:32"], env, 1)
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    print("signed setup: signed, installed, uninstaller signed and sound, uninstalled")


if __name__ == "__main__":
    try:
        main()
    except Failed as failure:
        print("signed setup: FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)

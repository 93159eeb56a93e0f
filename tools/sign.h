// mksetup pack --sign: the uninstaller that the engine would write, prepared and signed when
// the setup is packed, so that the installed uninstaller carries the vendor's signature; and
// the vendor's signing command itself.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Runs the signing command with every {in} replaced by `in` and every {out} by `out`, quoted
// for the shell. `out` is removed first: signing tools refuse to overwrite. True when the
// command exited with status 0 and wrote `out`.
bool RunSignCommand(const std::string &command, const std::string &in, const std::string &out,
                    std::string *error);

// The uninstaller image the engine writes for a setup of this engine: `image` (the engine's
// image, its certificate table entry clear) with every "SetupMode:Setup" turned into
// "SetupMode:Unins" and the uninstall icon (group 102) added as the language-neutral group
// 101; then the header magic and the uninstall script as its one entry, named `name`; the
// checksum right.
bool PrepareUninstaller(const std::vector<uint8_t> &image, const std::string &name,
                        const std::vector<uint8_t> &script, std::vector<uint8_t> *uninstaller,
                        std::string *error);

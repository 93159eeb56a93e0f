// The uninstaller's image, apart from writing it: the mode markers, and the uninstaller that
// the packer signs and packs with the setup so that the installed one carries a signature.
// Portable: the packer prepares the signed uninstaller on any system, and the engine checks it
// with the same code before it writes it.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern const char kSetupMarker[];     // "SetupMode:Setup"
extern const char kUninstallMarker[]; // "SetupMode:Unins"
enum { kMarkerLength = 15 };

// Rewrites every "SetupMode:Setup" in the bytes to "SetupMode:Unins"; returns how many.
size_t RewriteModeMarkers(uint8_t *bytes, size_t size);

// Identifies an engine build: the CRC-32C of its image, bytes [0, image end), with the checksum
// field and the certificate table entry counted as zero, so that writing a checksum, signing
// and appending an archive leave it as it was. False when the data is not a PE image or its
// image runs past the data.
bool EngineImageCrc(const uint8_t *data, size_t size, uint32_t *crc);

// The archive entry that carries the uninstaller signed with the setup, for the engine build
// whose EngineImageCrc is `engineCrc`: "<Signed Uninstaller XXXXXXXX>" in upper-case hex. No
// vendor file can take the name, as entry names are bare file names without '<' or '>'.
enum { kSignedUninstallerNameSize = 30 };
void SignedUninstallerName(uint32_t engineCrc, char *name, size_t capacity);

// True when the image before the archive that begins at `start` (after its header magic) is an
// uninstaller's: it carries "SetupMode:Unins" and no "SetupMode:Setup". The engine runs such a
// file in Uninstall mode, whose archive has no end marker.
bool IsUninstallerImage(const uint8_t *file, size_t start);

// True when `file` is an uninstaller as the engine would write it for a setup whose uninstall
// script is `script` (its mode markers already rewritten): an image that carries
// "SetupMode:Unins" and no "SetupMode:Setup", followed by an archive (which may end at a
// signature) that walks cleanly and whose "Uninstall.vis" has exactly the script's bytes.
bool IsPreparedUninstaller(const uint8_t *file, size_t size, const uint8_t *script,
                           size_t scriptSize);

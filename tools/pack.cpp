#include "tools/pack.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/pe_image.h"
#include "archive/uninstaller_image.h"
#include "base/crc32c.h"
#include "base/text.h"
#include "base/unicode.h"
#include "tools/check.h"
#include "tools/compress.h"
#include "tools/contents.h"
#include "tools/sign.h"
#include "tools/toolfiles.h"
#include "tools/tree.h"

namespace
{

struct Input {
    std::string path;
    std::string name;
    uint64_t size;
};

const uint64_t kMaxEngineFile = 0xFFFFFFFFull; // the engine takes its length as 32 bits

int Fail(const char *command, const std::string &message)
{
    fprintf(stderr, "mksetup %s: %s\n", command, message.c_str());
    return 1;
}

bool SameNameIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && StartsWithIgnoringCase(a.c_str(), b.c_str(), a.size());
}

bool CollectInputs(const std::vector<std::string> &paths, const std::string &treeRoot,
                   std::vector<Input> *inputs, std::string *error)
{
    for (const std::string &path : paths) {
        std::vector<std::string> files;
        if (IsDirectoryPath(path)) {
            if (!ListFilesIn(path, &files)) {
                *error = "cannot list the folder " + path;
                return false;
            }
            for (std::string &f : files)
                f = JoinPath(path, f);
        } else {
            files.push_back(path);
        }
        for (const std::string &file : files) {
            Input in{file, BaseName(file), 0};
            if (!RegularFileSize(file, &in.size)) {
                *error = "cannot read " + file;
                return false;
            }
            inputs->push_back(in);
        }
    }
    if (!treeRoot.empty()) {
        Tree tree;
        if (!MapTree(treeRoot, &tree, error))
            return false;
        for (const TreeFile &file : tree.files) {
            Input in{file.path, file.entry, 0};
            if (!RegularFileSize(file.path, &in.size)) {
                *error = "cannot read " + file.path;
                return false;
            }
            inputs->push_back(in);
        }
    }
    for (size_t i = 0; i < inputs->size(); i++) {
        const Input &in = (*inputs)[i];
        if (!IsBareFileName(in.name.c_str())) {
            *error = "\"" + in.name + "\" (" + in.path + ") is not a bare file name";
            return false;
        }
        for (size_t j = 0; j < i; j++) {
            if (SameNameIgnoringCase((*inputs)[j].name, in.name)) {
                *error = "two entries named alike: " + (*inputs)[j].path + " and " + in.path +
                         " (names are compared ignoring case)";
                return false;
            }
        }
    }
    // The uninstaller keeps every entry up to and including the uninstall script: it goes first.
    for (size_t i = 0; i < inputs->size(); i++) {
        if (SameNameIgnoringCase((*inputs)[i].name, "Uninstall.vis")) {
            Input u = (*inputs)[i];
            inputs->erase(inputs->begin() + (long)i);
            inputs->insert(inputs->begin(), u);
            break;
        }
    }
    return true;
}

void AppendLittleEndian(std::vector<uint8_t> *bytes, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes->push_back((uint8_t)(value >> shift));
}

bool WriteBytes(FILE *out, const void *bytes, size_t count)
{
    return count == 0 || fwrite(bytes, 1, count, out) == count;
}

// The setup being written, with the image checksum of every byte written so far.
struct Output {
    FILE *file;
    PeSum sum;
};

bool WriteBytes(Output *out, const void *bytes, size_t count)
{
    PeSumAdd(&out->sum, bytes, count);
    return WriteBytes(out->file, bytes, count);
}

// Copies exactly `size` bytes of the file at `path` to `out`, and sums them into *sum.
bool CopyInto(Output *out, const Input &in, uint32_t *sum)
{
    FILE *f = fopen(in.path.c_str(), "rb");
    if (!f)
        return false;
    uint64_t left = in.size;
    char buffer[65536];
    while (left > 0) {
        size_t want = left < sizeof buffer ? (size_t)left : sizeof buffer;
        size_t got = fread(buffer, 1, want, f);
        if (got != want || !WriteBytes(out, buffer, got))
            break;
        *sum = Crc32c(*sum, buffer, got);
        left -= got;
    }
    bool complete = left == 0 && fgetc(f) == EOF;
    fclose(f);
    return complete;
}

// One stored entry of the archive being written: a file's bytes, or bytes made in memory.
struct Piece {
    std::string name;
    const Input *file; // or null, and then `bytes`
    std::vector<uint8_t> bytes;
};

std::vector<Piece> StoredPieces(const std::vector<Input> &inputs)
{
    std::vector<Piece> pieces;
    for (const Input &in : inputs)
        pieces.push_back({in.name, &in, {}});
    return pieces;
}

// Writes the stub, whose checksum field must be zero, and the archive; then the checksum over
// the whole file into that field, when the stub is an image that has one.
bool WriteArchive(const std::string &path, const std::vector<uint8_t> &stub,
                  const std::vector<Piece> &pieces, std::string *error)
{
    Output out = {fopen(path.c_str(), "wb"), {0, 0}};
    if (!out.file) {
        *error = "cannot create " + path;
        return false;
    }
    bool ok = WriteBytes(&out, stub.data(), stub.size()) &&
              WriteBytes(&out, kArchiveHeader, kArchiveHeaderLength);
    // The integrity record: tag, count, then each entry's CRC-32C, little-endian.
    std::vector<uint8_t> record(kIntegrityTag, kIntegrityTag + kIntegrityTagLength);
    AppendLittleEndian(&record, (uint32_t)pieces.size());
    for (size_t i = 0; ok && i < pieces.size(); i++) {
        const Piece &piece = pieces[i];
        uint32_t size = (uint32_t)(piece.file ? piece.file->size : piece.bytes.size());
        uint8_t field[4] = {(uint8_t)size, (uint8_t)(size >> 8), (uint8_t)(size >> 16),
                            (uint8_t)(size >> 24)};
        ok = WriteBytes(&out, piece.name.c_str(), piece.name.size() + 1) &&
             WriteBytes(&out, field, 4);
        uint32_t sum = 0;
        if (ok && piece.file && !CopyInto(&out, *piece.file, &sum)) {
            *error = "cannot read " + piece.file->path + " (or it changed while being packed)";
            fclose(out.file);
            return false;
        }
        if (ok && !piece.file) {
            ok = WriteBytes(&out, piece.bytes.data(), piece.bytes.size());
            sum = Crc32c(0, piece.bytes.data(), piece.bytes.size());
        }
        AppendLittleEndian(&record, sum);
    }
    ok = ok && WriteBytes(&out, kArchiveEnd, kArchiveEndLength) &&
         WriteBytes(&out, record.data(), record.size());
    PeHeaders headers;
    if (ok && ReadPeHeaders(stub.data(), stub.size(), &headers)) {
        std::vector<uint8_t> checksum;
        AppendLittleEndian(&checksum, PeSumValue(&out.sum));
        ok = fseek(out.file, (long)headers.checksumField, SEEK_SET) == 0 &&
             WriteBytes(out.file, checksum.data(), checksum.size());
    }
    if (fclose(out.file) != 0)
        ok = false;
    if (!ok && error->empty())
        *error = "cannot write " + path;
    return ok;
}

// The window of a compressed archive's frames: 2^24 bytes, 16 MiB. On a product of 34 MB of
// JavaScript and executables a solid frame at the best level came to 6.14 MB with an 8 MiB
// window, 6.08 MB with 16 MiB and 6.08 MB with 32 MiB: beyond 16 MiB the window buys nothing
// but memory, which the engine needs once per install, next to the window.
const int kPackWindowLog = 24;

// Entries go into solid blocks in copy order; a block is closed once it holds this many
// bytes, so that reading one entry never decodes more than this much before it. An entry
// larger than that fills a block of its own. The engine's own inputs (scripts, licence, helper
// libraries) get small blocks of their own, read without decoding anything else.
const uint64_t kSolidBlockLimit = 32u << 20;

bool IsEngineInput(const std::string &name)
{
    static const char *const names[] = {"Setup.vis", "EULA.txt", "SetupLib32.dll",
                                        "SetupLib64.dll"};
    for (const char *n : names) {
        if (SameNameIgnoringCase(name, n))
            return true;
    }
    return name[0] == '<'; /* the signed uninstaller */
}

bool ReadInput(const Input &in, std::vector<uint8_t> *bytes, std::string *error)
{
    if (ReadBinaryFile(in.path, bytes) && bytes->size() == in.size)
        return true;
    *error = "cannot read " + in.path + " (or it changed while being packed)";
    return false;
}

// The order of the entries in a compressed archive's solid blocks: the order in which the
// install script copies them, so that an installation decodes each block once, from its start
// to its end; entries it does not name follow in archive order. A script that copies a file out
// of that order makes the engine decode its block again from the start up to it.
std::vector<const Input *> CopyOrder(const std::vector<Input> &inputs, std::string *error)
{
    std::vector<const Input *> order;
    std::vector<bool> placed(inputs.size());
    for (const Input &in : inputs) {
        std::vector<uint8_t> script;
        if (!SameNameIgnoringCase(in.name, "Setup.vis") || !ReadInput(in, &script, error))
            continue;
        for (const std::string &source : ScriptSources(std::string(script.begin(), script.end()))) {
            for (size_t i = 0; i < inputs.size(); i++) {
                if (!placed[i] && SameNameIgnoringCase(inputs[i].name, source)) {
                    placed[i] = true;
                    order.push_back(&inputs[i]);
                }
            }
        }
        break;
    }
    for (size_t i = 0; i < inputs.size(); i++) {
        if (!placed[i])
            order.push_back(&inputs[i]);
    }
    return order;
}

// The compressed archive's pieces: the uninstall script stored as it is, the catalogue, then
// one frame per block. The catalogue comes first, so it is written once every frame is made.
bool PackedPieces(const std::vector<Input> &inputs, int level, std::vector<Piece> *pieces,
                  std::string *error)
{
    std::vector<uint8_t> entries;
    std::vector<uint32_t> blockSizes;
    std::vector<Piece> blocks;
    uint32_t entryCount = 0;
    std::vector<uint8_t> block;
    auto closeBlock = [&]() {
        if (block.empty())
            return true;
        blocks.push_back({kPackedBlockName, nullptr, {}});
        blockSizes.push_back((uint32_t)block.size());
        bool ok = CompressFrame(block.data(), block.size(), level, kPackWindowLog,
                                &blocks.back().bytes, error);
        block.clear();
        return ok;
    };
    size_t first = 0;
    if (!inputs.empty() && SameNameIgnoringCase(inputs[0].name, "Uninstall.vis")) {
        pieces->push_back({inputs[0].name, &inputs[0], {}});
        first = 1;
    }
    std::vector<uint8_t> bytes;
    for (const Input *next : CopyOrder(inputs, error)) {
        const Input &in = *next;
        if (first == 1 && next == &inputs[0])
            continue;
        bool alone = IsEngineInput(in.name);
        if ((alone || block.size() + in.size > kSolidBlockLimit) && !closeBlock())
            return false;
        if (!ReadInput(in, &bytes, error))
            return false;
        entries.insert(entries.end(), in.name.begin(), in.name.end());
        entries.push_back(0);
        AppendLittleEndian(&entries, (uint32_t)blocks.size());
        AppendLittleEndian(&entries, (uint32_t)block.size());
        AppendLittleEndian(&entries, (uint32_t)in.size);
        entryCount++;
        block.insert(block.end(), bytes.begin(), bytes.end());
        if (alone && !closeBlock())
            return false;
    }
    if (!closeBlock())
        return false;
    Piece catalogue = {kPackedCatalogueName, nullptr, {}};
    AppendLittleEndian(&catalogue.bytes, 1u << kPackWindowLog);
    AppendLittleEndian(&catalogue.bytes, (uint32_t)blockSizes.size());
    for (uint32_t size : blockSizes)
        AppendLittleEndian(&catalogue.bytes, size);
    AppendLittleEndian(&catalogue.bytes, entryCount);
    catalogue.bytes.insert(catalogue.bytes.end(), entries.begin(), entries.end());
    pieces->push_back(std::move(catalogue));
    for (Piece &b : blocks)
        pieces->push_back(std::move(b));
    return true;
}

// Reads the written file back as the engine will: its archive must start right after the stub
// and hold exactly the packed pieces, and every packed entry must decode to its file's bytes.
bool ReadsBack(const std::string &path, size_t stubSize, const std::vector<Piece> &pieces,
               const std::vector<Input> &inputs, std::string *error)
{
    std::vector<uint8_t> file;
    if (!ReadBinaryFile(path, &file)) {
        *error = "cannot read back " + path;
        return false;
    }
    file.resize(ArchiveLimit(file.data(), file.size(), file.size()));
    size_t cursor = LocateArchive(file.data(), file.size());
    size_t found = 0;
    ArchiveEntry entry;
    WalkStep step = kWalkBroken;
    if (cursor == stubSize + kArchiveHeaderLength) {
        while ((step = NextArchiveEntry(file.data(), file.size(), &cursor, &entry)) == kWalkEntry)
            found++;
    }
    ArchiveEntry damaged;
    ArchiveContents contents;
    bool same = step == kWalkEnd && found == pieces.size() &&
                VerifyArchiveSums(file.data(), file.size(), stubSize + kArchiveHeaderLength,
                                  &damaged) == kSumsGood &&
                ReadArchiveContents(file, stubSize + kArchiveHeaderLength, &contents, error) &&
                contents.entries.size() == inputs.size();
    std::vector<uint8_t> packed;
    std::vector<uint8_t> original;
    for (const ContentEntry &e : contents.entries) {
        if (!same || e.block == kStoredEntry)
            continue;
        const Input *in = nullptr;
        for (const Input &i : inputs)
            in = SameNameIgnoringCase(i.name, e.name) ? &i : in;
        same = in && ReadContentEntry(file, &contents, e, &packed, error) &&
               ReadInput(*in, &original, error) && packed == original;
    }
    if (same)
        return true;
    *error = "the packed file does not read back as an archive of " +
             std::to_string(inputs.size()) + " entries" + (error->empty() ? "" : ": " + *error);
    return false;
}

bool ReadEngineFile(const char *command, const char *path, std::vector<uint8_t> *file,
                    size_t *start)
{
    if (!ReadBinaryFile(path, file)) {
        Fail(command, std::string("cannot read ") + path);
        return false;
    }
    // A signature after the archive is not part of it.
    file->resize(ArchiveLimit(file->data(), file->size(), file->size()));
    *start = LocateArchive(file->data(), file->size());
    if (*start == 0) {
        Fail(command, std::string(path) + " carries no setup data archive");
        return false;
    }
    return true;
}

} // namespace

const char PackUsage[] =
    "usage: mksetup pack --engine STUB.exe --out Setup.exe [--tree DIR] [--sign COMMAND]\n"
    "                    [--script-encoding CP] [--compress[=LEVEL]] [PATH...]\n"
    "Writes a copy of the engine with a setup data archive appended: each PATH that is a file,\n"
    "the files directly in each PATH that is a folder, then every file of the tree DIR under\n"
    "the entry names that mksetup files DIR prints. Uninstall.vis goes first. Entry names are\n"
    "bare file names and must differ in more than case.\n"
    "--sign COMMAND signs the uninstaller that the setup will install and then the setup\n"
    "itself: COMMAND runs through the shell with {in} replaced by the file to sign and {out}\n"
    "by the signed file it must write, for example\n"
    "  --sign 'osslsigncode sign -certs cert.pem -key key.pem -in {in} -out {out}'\n"
    "It needs Uninstall.vis among the files.\n"
    "--script-encoding CP converts the scripts (.vis) that are not UTF-8 from the code page CP\n"
    "(CP1252, CP932...) to UTF-8 as they are packed; the engine reads UTF-8 scripts the same\n"
    "on every Windows, other scripts in the code page of the Windows it runs on.\n"
    "--compress stores the entries compressed (Zstandard, solid blocks of up to 32 MiB in\n"
    "archive order, a 16 MiB window) at LEVEL 1 to 22, default 22, the smallest and slowest.\n"
    "The engine then needs about 17 MiB more memory while it installs.\n";
const char ListUsage[] = "usage: mksetup list Setup.exe\n"
                         "Prints one line per archive entry: name, tab, size.\n";
const char ExtractUsage[] = "usage: mksetup extract Setup.exe NAME DEST\n"
                            "Writes the data of the entry NAME (case ignored) to the file DEST.\n";

bool IsBareFileName(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length > 259 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (const char *p = name; *p; p++) {
        if ((unsigned char)*p < 0x20 || strchr("\\/:*?\"<>|", *p))
            return false;
    }
    return true;
}

// Files the packer writes next to the setup until it is complete; removed when it ends.
struct TemporaryFiles {
    std::vector<std::string> paths;
    std::string Add(const std::string &path)
    {
        paths.push_back(path);
        return paths.back();
    }
    ~TemporaryFiles()
    {
        for (const std::string &path : paths)
            remove(path.c_str());
    }
};

// The scripts (.vis entries) that are not UTF-8 are converted from the code page `encoding`
// into temporary files, packed in their place; a script that is UTF-8 already stays as it is.
static bool ConvertScripts(const std::string &encoding, const std::string &outPath,
                           TemporaryFiles *temporary, std::vector<Input> *inputs,
                           std::string *error)
{
    for (Input &in : *inputs) {
        size_t n = in.name.size();
        if (n < 4 || !SameNameIgnoringCase(in.name.substr(n - 4), ".vis"))
            continue;
        std::vector<uint8_t> text;
        std::vector<uint8_t> utf8;
        if (!ReadBinaryFile(in.path, &text)) {
            *error = "cannot read " + in.path;
            return false;
        }
        if (IsValidUtf8((const char *)text.data(), text.size()))
            continue;
        if (!ConvertToUtf8(encoding, text, &utf8)) {
            *error = in.path + " is not text in the code page " + encoding +
                     " (--script-encoding takes CP1252, CP932 and the like)";
            return false;
        }
        std::string path = temporary->Add(outPath + "." + in.name + ".utf8");
        if (!WriteBinaryFile(path, utf8)) {
            *error = "cannot write " + path;
            return false;
        }
        in.path = path;
        in.size = utf8.size();
    }
    return true;
}

// Prepares the uninstaller for the engine image `image`, signs it and adds it to the inputs
// under the name the engine looks for.
static bool AddSignedUninstaller(const std::vector<uint8_t> &image, const std::string &sign,
                                 const std::string &outPath, TemporaryFiles *temporary,
                                 std::vector<Input> *inputs, std::string *error)
{
    const Input &script = inputs->front();
    std::vector<uint8_t> scriptBytes;
    std::vector<uint8_t> uninstaller;
    if (!ReadBinaryFile(script.path, &scriptBytes)) {
        *error = "cannot read " + script.path;
        return false;
    }
    if (!PrepareUninstaller(image, script.name, scriptBytes, &uninstaller, error))
        return false;
    std::string in = temporary->Add(outPath + ".uninstaller.exe");
    std::string out = temporary->Add(outPath + ".uninstaller.signed.exe");
    if (!WriteBinaryFile(in, uninstaller)) {
        *error = "cannot write " + in;
        return false;
    }
    std::vector<uint8_t> signedBytes;
    if (!RunSignCommand(sign, in, out, error))
        return false;
    // The engine takes the signed uninstaller only when it holds the script the setup holds.
    RewriteModeMarkers(scriptBytes.data(), scriptBytes.size());
    if (!ReadBinaryFile(out, &signedBytes) ||
        !IsPreparedUninstaller(signedBytes.data(), signedBytes.size(), scriptBytes.data(),
                               scriptBytes.size())) {
        *error = "the signed uninstaller " + out + " no longer reads back as the uninstaller";
        return false;
    }
    uint32_t crc = 0;
    EngineImageCrc(image.data(), image.size(), &crc);
    char name[kSignedUninstallerNameSize];
    SignedUninstallerName(crc, name, sizeof name);
    inputs->push_back({out, name, signedBytes.size()});
    return true;
}

int RunPack(int argc, char **argv)
{
    std::string engine;
    std::string outPath;
    std::string treeRoot;
    std::string sign;
    std::string encoding;
    std::vector<std::string> paths;
    int level = 0; // stored
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--compress" || a.compare(0, 11, "--compress=") == 0) {
            char *end = nullptr;
            long n = a.size() > 11 ? strtol(a.c_str() + 11, &end, 10) : BestCompressionLevel();
            if (level != 0 || (end && *end != 0) || n < 1 || n > BestCompressionLevel()) {
                fprintf(stderr, "mksetup pack: %s: the level is 1 to %d, given once\n%s", a.c_str(),
                        BestCompressionLevel(), PackUsage);
                return 2;
            }
            level = (int)n;
            continue;
        }
        std::string *value = a == "--engine"            ? &engine
                             : a == "--out"             ? &outPath
                             : a == "--tree"            ? &treeRoot
                             : a == "--sign"            ? &sign
                             : a == "--script-encoding" ? &encoding
                                                        : nullptr;
        if (value && i + 1 < argc && value->empty()) {
            *value = argv[++i];
        } else if (a.compare(0, 2, "--") == 0) {
            fprintf(stderr, "mksetup pack: %s %s\n%s",
                    value ? "missing or repeated value of" : "unknown option", a.c_str(),
                    PackUsage);
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    if (engine.empty() || outPath.empty() || (paths.empty() && treeRoot.empty())) {
        fprintf(stderr, "mksetup pack: --engine, --out and something to pack are needed\n%s",
                PackUsage);
        return 2;
    }
    if (!sign.empty() &&
        (sign.find("{in}") == std::string::npos || sign.find("{out}") == std::string::npos)) {
        fprintf(stderr, "mksetup pack: the --sign command needs {in} and {out}\n%s", PackUsage);
        return 2;
    }

    std::vector<Input> inputs;
    std::string error;
    if (!CollectInputs(paths, treeRoot, &inputs, &error))
        return Fail("pack", error);
    TemporaryFiles temporary;
    if (!encoding.empty() && !ConvertScripts(encoding, outPath, &temporary, &inputs, &error))
        return Fail("pack", error);
    if (!sign.empty() &&
        (inputs.empty() || !SameNameIgnoringCase(inputs.front().name, "Uninstall.vis"))) {
        fprintf(stderr, "mksetup pack: --sign needs Uninstall.vis among the files: the signed "
                        "uninstaller is made from it\n");
        return 2;
    }

    std::vector<uint8_t> stub;
    if (!ReadBinaryFile(engine, &stub))
        return Fail("pack", "cannot read the engine " + engine);
    size_t imageEnd = ImageEndOffset(stub.data(), stub.size());
    if (imageEnd == 0 || imageEnd > stub.size())
        return Fail("pack", engine + " is not a Windows executable");
    if (LocateArchive(stub.data(), stub.size()) != 0)
        return Fail("pack", engine + " already carries a setup data archive");
    // A signed engine's signature would sit inside the setup, where it signs nothing: it goes,
    // with its entry. The checksum is written once the setup is complete.
    if (ArchiveLimit(stub.data(), stub.size(), stub.size()) < stub.size())
        stub.resize(imageEnd);
    ClearCertificateTable(stub.data(), stub.size());
    PeHeaders headers;
    if (ReadPeHeaders(stub.data(), stub.size(), &headers))
        memset(stub.data() + headers.checksumField, 0, 4);

    std::vector<uint8_t> image(stub.begin(), stub.begin() + (long)imageEnd);
    if (!sign.empty() && !AddSignedUninstaller(image, sign, outPath, &temporary, &inputs, &error))
        return Fail("pack", error);

    uint64_t total = stub.size() + kArchiveHeaderLength + kArchiveEndLength;
    for (const Input &in : inputs)
        total += in.name.size() + 1 + 4 + in.size;
    if (total > kMaxEngineFile)
        return Fail("pack", "the setup file would be " + std::to_string(total) +
                                " bytes; it must stay below 4 GiB");

    // Signing writes a new file: the packed one is its input.
    std::string partial = temporary.Add(outPath + (sign.empty() ? ".partial" : ".unsigned.exe"));
    std::string complete = sign.empty() ? partial : temporary.Add(outPath + ".signed.exe");
    std::vector<Piece> pieces;
    if (level == 0)
        pieces = StoredPieces(inputs);
    else if (!PackedPieces(inputs, level, &pieces, &error))
        return Fail("pack", error);
    if (!WriteArchive(partial, stub, pieces, &error) ||
        !ReadsBack(partial, stub.size(), pieces, inputs, &error) ||
        (!sign.empty() && (!RunSignCommand(sign, partial, complete, &error) ||
                           !ReadsBack(complete, stub.size(), pieces, inputs, &error))) ||
        !MoveFileOver(complete, outPath))
        return Fail("pack", error.empty() ? "cannot write " + outPath : error);
    return 0;
}

static int ReportSums(const char *command, const std::vector<uint8_t> &file, size_t start)
{
    ArchiveEntry damaged;
    switch (VerifyArchiveSums(file.data(), file.size(), start, &damaged)) {
    case kSumsGood:
        return 0;
    case kSumsAbsent:
        fprintf(stderr,
                "mksetup %s: no checksums: packed before they existed, so nothing is "
                "checked\n",
                command);
        return 0;
    case kSumsDamaged:
        return Fail(command, DamageText(file, damaged));
    case kSumsUnended:
        // The uninstaller's archive ends without a marker by design; a setup's never does.
        if (IsUninstallerImage(file.data(), start))
            return 0;
        return Fail(command, "the archive has no end marker: the file is cut");
    case kSumsMalformed:
        break;
    }
    return Fail(command, "the checksum record does not fit the archive: the file is damaged");
}

int RunList(int argc, char **argv)
{
    if (argc != 1) {
        fputs(ListUsage, stderr);
        return 2;
    }
    std::vector<uint8_t> file;
    size_t start;
    if (!ReadEngineFile("list", argv[0], &file, &start))
        return 1;
    ArchiveContents contents;
    std::string error;
    bool read = ReadArchiveContents(file, start, &contents, &error);
    for (const ContentEntry &e : contents.entries)
        printf("%s\t%u\n", e.name.c_str(), (unsigned)e.size);
    if (!read)
        return Fail("list", error);
    return ReportSums("list", file, start);
}

int RunExtract(int argc, char **argv)
{
    if (argc != 3) {
        fputs(ExtractUsage, stderr);
        return 2;
    }
    std::vector<uint8_t> file;
    size_t start;
    if (!ReadEngineFile("extract", argv[0], &file, &start))
        return 1;
    ArchiveContents contents;
    std::string error;
    ReadArchiveContents(file, start, &contents, &error); /* what was read before damage counts */
    const ContentEntry *entry = FindContentEntry(contents, argv[1]);
    if (!entry)
        return Fail("extract", std::string("no entry named ") + argv[1]);
    std::vector<uint8_t> bytes;
    if (!ReadContentEntry(file, &contents, *entry, &bytes, &error))
        return Fail("extract", error);
    std::string partial = std::string(argv[2]) + ".partial";
    FILE *out = fopen(partial.c_str(), "wb");
    bool ok = out && WriteBytes(out, bytes.data(), bytes.size());
    if (out && fclose(out) != 0)
        ok = false;
    if (!ok || !MoveFileOver(partial, argv[2])) {
        remove(partial.c_str());
        return Fail("extract", std::string("cannot write ") + argv[2]);
    }
    return 0;
}

// Reading and editing Windows executable (PE) images held in memory, PE32 and PE32+ alike,
// without the system's image functions, so that the packer can do it on any system: the header
// fields, the image checksum, the certificate table of an Authenticode signature, and the
// resource tree. Every read checks the bytes left first; malformed images are refused, never
// read outside their buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Where the fields the toolkit works with lie in an image.
struct PeHeaders {
    size_t optionalHeader;     // offset of the optional header
    bool plus;                 // PE32+ (64-bit image) rather than PE32
    size_t checksumField;      // offset of CheckSum
    size_t directories;        // offset of the data directory array
    uint32_t directoryCount;   // entries of it that the optional header holds
    size_t sectionTable;       // offset of the first section header
    uint32_t sectionCount;     //
    uint32_t sectionAlignment; //
    uint32_t fileAlignment;    //
    uint32_t sizeOfHeaders;    //
};

enum {
    kPeSectionHeaderSize = 40,
    kPeDirectoryResources = 2,
    kPeDirectoryCertificates = 4,
    kPeResourceIcon = 3,       // RT_ICON
    kPeResourceGroupIcon = 14, // RT_GROUP_ICON
};

// Offset where a PE image's last section ends in the file (the size of the headers when it has
// no section data), or 0 when the data is not a PE image.
size_t ImageEndOffset(const uint8_t *data, size_t size);

// True when the data begins with a PE image whose optional header holds the checksum and
// whose section table lies inside the data.
bool ReadPeHeaders(const uint8_t *data, size_t size, PeHeaders *headers);

// The image checksum as Windows computes it (CheckSumMappedFile): the file's bytes summed as
// 16-bit little-endian words with the carry folded back in (an odd last byte counts as a word
// of its own), plus the file's length. The sum continues over pieces of the file given in
// order; zero bytes add nothing, so a field counted as zero is skipped with PeSumSkip.
struct PeSum {
    uint64_t words;  // the words summed so far, folded at the end
    uint64_t length; // the bytes summed so far
};
void PeSumAdd(PeSum *sum, const void *bytes, size_t count);
void PeSumSkip(PeSum *sum, size_t count);
uint32_t PeSumValue(const PeSum *sum);

// The checksum of a whole file in memory, its own CheckSum field counted as zero. False when
// the data is not a PE image.
bool ComputePeChecksum(const uint8_t *data, size_t size, uint32_t *checksum);
// Computes the checksum and writes it into the CheckSum field.
bool WritePeChecksum(uint8_t *data, size_t size);

// The certificate table entry (data directory 4): its first field is a file offset, not an
// address in memory. False when the image has no such entry; an unsigned image has one of
// zeros.
bool ReadCertificateTable(const uint8_t *data, size_t size, uint32_t *offset, uint32_t *length);
// Sets both fields of the entry to zero. False when the image has no such entry.
bool ClearCertificateTable(uint8_t *data, size_t size);

// The resource of that type, ID and language (kPeAnyLanguage: the first language listed):
// where its bytes lie in the data and how many there are. False when the image has no such
// resource or its bytes do not lie inside the data.
enum { kPeAnyLanguage = 0x10000 };
bool FindResourceData(const uint8_t *data, size_t size, uint32_t type, uint32_t id,
                      uint32_t language, size_t *offset, uint32_t *length);

enum PeEdit {
    kPeEdited,         // done; *newSize is the image's new length
    kPeNeedsRoom,      // the buffer is too small: *newSize bytes are needed, nothing was changed
    kPeNotEditable,    // not a PE image, or one whose headers or resources are malformed
    kPeNoHeaderRoom,   // no room for one more section header before the first section's data
    kPeTooManyEntries, // the resource tree has more entries than an edit takes, or memory ran out
};

// Adds (or replaces) the resource of that type, ID and language with a copy of `bytes`, which
// may lie inside the image. The whole resource tree is written anew, with the entry in its
// place, into a section appended after the last one (the existing resources keep their data
// where it is), and the resource directory entry points at it. `size` must be the image's
// whole length (ImageEndOffset); the buffer holds `capacity` bytes. The checksum is not
// updated: write it when the file is complete.
PeEdit AddResource(uint8_t *image, size_t size, size_t capacity, uint32_t type, uint32_t id,
                   uint16_t language, const uint8_t *bytes, uint32_t count, size_t *newSize);

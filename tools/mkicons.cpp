// mkicons OUTDIR: draws the engine's two icons and writes OUTDIR/setup.ico and
// OUTDIR/uninstall.ico, each with twelve images: 48, 32 and 16 pixels at 8 bits per pixel, then
// 48, 32, 16, 24, 64, 72, 96, 128 and 256 pixels at 32 bits per pixel, so that the wizard's
// banner and the title bar find a sharp image at every display scale up to 200 %. Images from
// 64 pixels on are stored as PNG (what Windows reads from Vista on), the others as bitmaps. The
// setup icon is a box with a green arrow going into it; the uninstall icon the same box with a
// red cross over it.
#include <stdint.h>
#include <stdio.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace
{

struct Color {
    uint8_t r, g, b;
};

// A filled shape in unit coordinates (0..1, y downwards), drawn in order: later shapes cover
// earlier ones.
struct Shape {
    enum Kind { Rect, Triangle, Bar } kind;
    float a[6]; // Rect: x0 y0 x1 y1; Triangle: three points; Bar: x0 y0 x1 y1 half-width
    Color color;
};

bool Inside(const Shape &s, float x, float y)
{
    switch (s.kind) {
    case Shape::Rect:
        return x >= s.a[0] && x < s.a[2] && y >= s.a[1] && y < s.a[3];
    case Shape::Triangle: {
        float d1 = (x - s.a[2]) * (s.a[1] - s.a[3]) - (s.a[0] - s.a[2]) * (y - s.a[3]);
        float d2 = (x - s.a[4]) * (s.a[3] - s.a[5]) - (s.a[2] - s.a[4]) * (y - s.a[5]);
        float d3 = (x - s.a[0]) * (s.a[5] - s.a[1]) - (s.a[4] - s.a[0]) * (y - s.a[1]);
        bool negative = d1 < 0 || d2 < 0 || d3 < 0;
        bool positive = d1 > 0 || d2 > 0 || d3 > 0;
        return !(negative && positive);
    }
    case Shape::Bar: {
        // Distance from the segment (x0,y0)-(x1,y1) below the half-width.
        float dx = s.a[2] - s.a[0], dy = s.a[3] - s.a[1];
        float t = ((x - s.a[0]) * dx + (y - s.a[1]) * dy) / (dx * dx + dy * dy);
        t = t < 0 ? 0 : t > 1 ? 1 : t;
        float px = s.a[0] + t * dx - x, py = s.a[1] + t * dy - y;
        return px * px + py * py <= s.a[4] * s.a[4];
    }
    }
    return false;
}

const Color kOutline = {96, 62, 20};
const Color kFront = {214, 158, 72};
const Color kLid = {238, 196, 120};
const Color kTape = {180, 126, 52};
const Color kGreen = {34, 150, 60};
const Color kGreenDark = {20, 100, 40};
const Color kRed = {208, 40, 40};
const Color kRedDark = {140, 20, 20};

std::vector<Shape> BoxShapes()
{
    return {
        {Shape::Rect, {0.14f, 0.40f, 0.86f, 0.94f}, kOutline},
        {Shape::Rect, {0.18f, 0.50f, 0.82f, 0.90f}, kFront},
        {Shape::Rect, {0.18f, 0.43f, 0.82f, 0.50f}, kLid},
        {Shape::Rect, {0.45f, 0.50f, 0.55f, 0.90f}, kTape},
    };
}

std::vector<Shape> SetupShapes()
{
    std::vector<Shape> s = BoxShapes();
    s.push_back({Shape::Rect, {0.37f, 0.02f, 0.63f, 0.40f}, kGreenDark});
    s.push_back({Shape::Triangle, {0.18f, 0.34f, 0.82f, 0.34f, 0.50f, 0.70f}, kGreenDark});
    s.push_back({Shape::Rect, {0.41f, 0.05f, 0.59f, 0.40f}, kGreen});
    s.push_back({Shape::Triangle, {0.26f, 0.38f, 0.74f, 0.38f, 0.50f, 0.64f}, kGreen});
    return s;
}

std::vector<Shape> UninstallShapes()
{
    std::vector<Shape> s = BoxShapes();
    s.push_back({Shape::Bar, {0.22f, 0.08f, 0.78f, 0.64f, 0.11f}, kRedDark});
    s.push_back({Shape::Bar, {0.78f, 0.08f, 0.22f, 0.64f, 0.11f}, kRedDark});
    s.push_back({Shape::Bar, {0.22f, 0.08f, 0.78f, 0.64f, 0.075f}, kRed});
    s.push_back({Shape::Bar, {0.78f, 0.08f, 0.22f, 0.64f, 0.075f}, kRed});
    return s;
}

// The shape index covering a point, or -1.
int ShapeAt(const std::vector<Shape> &shapes, float x, float y)
{
    for (int i = (int)shapes.size() - 1; i >= 0; i--)
        if (Inside(shapes[i], x, y))
            return i;
    return -1;
}

void Put16(std::string *out, uint32_t v)
{
    out->push_back((char)(v & 0xff));
    out->push_back((char)(v >> 8 & 0xff));
}

void Put32(std::string *out, uint32_t v)
{
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

// The pixels of one image, rows top-down: BGRA colours, palette indexes (0 transparent, i the
// colour of shape i - 1) and the transparency mask (1 transparent).
struct Pixels {
    std::vector<uint32_t> bgra;
    std::vector<int> index;
    std::vector<uint8_t> mask;
};

Pixels Draw(const std::vector<Shape> &shapes, int size, int bits)
{
    const int samples = 4;
    Pixels out;
    out.mask.assign(size * size, 1);
    out.bgra.assign(size * size, 0);
    out.index.assign(size * size, 0);
    for (int y = 0; y < size; y++) {
        for (int x = 0; x < size; x++) {
            float r = 0, g = 0, b = 0;
            int covered = 0;
            std::vector<int> votes(shapes.size() + 1, 0);
            for (int sy = 0; sy < samples; sy++) {
                for (int sx = 0; sx < samples; sx++) {
                    float fx = (x + (sx + 0.5f) / samples) / size;
                    float fy = (y + (sy + 0.5f) / samples) / size;
                    int i = ShapeAt(shapes, fx, fy);
                    votes[i + 1]++;
                    if (i >= 0) {
                        covered++;
                        r += shapes[i].color.r;
                        g += shapes[i].color.g;
                        b += shapes[i].color.b;
                    }
                }
            }
            int p = y * size + x;
            if (bits == 32) {
                if (covered > 0) {
                    uint32_t a = (uint32_t)(255 * covered / (samples * samples));
                    out.bgra[p] = (uint32_t)(b / covered) | (uint32_t)(g / covered) << 8 |
                                  (uint32_t)(r / covered) << 16 | a << 24;
                    out.mask[p] = 0;
                }
            } else {
                int best = 0;
                for (size_t i = 1; i < votes.size(); i++)
                    if (votes[i] > votes[best])
                        best = (int)i;
                if (best > 0) {
                    out.index[p] = best; // palette entry of shape best - 1
                    out.mask[p] = 0;
                }
            }
        }
    }
    return out;
}

// One bitmap image (header, palette, colour rows, mask rows; rows bottom-up).
std::string BitmapImage(const std::vector<Shape> &shapes, int size, int bits)
{
    Pixels pixels = Draw(shapes, size, bits);
    int colorRow = bits == 32 ? size * 4 : (size + 3) / 4 * 4;
    int maskRow = (size + 31) / 32 * 4;
    std::string out;
    Put32(&out, 40);
    Put32(&out, (uint32_t)size);
    Put32(&out, (uint32_t)size * 2);
    Put16(&out, 1);
    Put16(&out, (uint32_t)bits);
    Put32(&out, 0);
    Put32(&out, (uint32_t)((colorRow + maskRow) * size));
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, bits == 8 ? 256 : 0);
    Put32(&out, 0);
    if (bits == 8) {
        for (int i = 0; i < 256; i++) {
            Color c = i > 0 && i <= (int)shapes.size() ? shapes[i - 1].color : Color{0, 0, 0};
            out.push_back((char)c.b);
            out.push_back((char)c.g);
            out.push_back((char)c.r);
            out.push_back(0);
        }
    }
    for (int y = size - 1; y >= 0; y--) {
        std::string row;
        for (int x = 0; x < size; x++) {
            if (bits == 32)
                Put32(&row, pixels.bgra[y * size + x]);
            else
                row.push_back((char)pixels.index[y * size + x]);
        }
        row.resize(colorRow, '\0');
        out += row;
    }
    for (int y = size - 1; y >= 0; y--) {
        std::string row(maskRow, '\0');
        for (int x = 0; x < size; x++)
            if (pixels.mask[y * size + x])
                row[x / 8] = (char)(row[x / 8] | 0x80 >> (x % 8));
        out += row;
    }
    return out;
}

void PutBig32(std::string *out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back((char)(v >> shift & 0xff));
}

void PutChunk(std::string *out, const char *type, const std::string &data)
{
    PutBig32(out, (uint32_t)data.size());
    std::string body = std::string(type, 4) + data;
    *out += body;
    PutBig32(out, (uint32_t)crc32(0, (const Bytef *)body.data(), (uInt)body.size()));
}

// One PNG image, 8-bit RGBA, every row unfiltered; empty when compression fails.
std::string PngImage(const std::vector<Shape> &shapes, int size)
{
    Pixels pixels = Draw(shapes, size, 32);
    std::string rows;
    for (int y = 0; y < size; y++) {
        rows.push_back(0); // filter: none
        for (int x = 0; x < size; x++) {
            uint32_t c = pixels.bgra[y * size + x];
            rows.push_back((char)(c >> 16 & 0xff));
            rows.push_back((char)(c >> 8 & 0xff));
            rows.push_back((char)(c & 0xff));
            rows.push_back((char)(c >> 24));
        }
    }
    uLongf packedSize = compressBound((uLong)rows.size());
    std::string packed(packedSize, '\0');
    if (compress2((Bytef *)&packed[0], &packedSize, (const Bytef *)rows.data(), (uLong)rows.size(),
                  Z_BEST_COMPRESSION) != Z_OK)
        return "";
    packed.resize(packedSize);
    std::string header;
    PutBig32(&header, (uint32_t)size);
    PutBig32(&header, (uint32_t)size);
    header += std::string("\x08\x06\x00\x00\x00", 5); // depth 8, RGBA, no interlace
    std::string out = "\x89PNG\r\n\x1a\n";
    PutChunk(&out, "IHDR", header);
    PutChunk(&out, "IDAT", packed);
    PutChunk(&out, "IEND", "");
    return out;
}

bool WriteIcon(const std::string &path, const std::vector<Shape> &shapes)
{
    enum { kImages = 12, kFirstPng = 64 };
    const int sizes[kImages] = {48, 32, 16, 48, 32, 16, 24, 64, 72, 96, 128, 256};
    const int bits[kImages] = {8, 8, 8, 32, 32, 32, 32, 32, 32, 32, 32, 32};
    std::string images[kImages];
    std::string out;
    Put16(&out, 0);
    Put16(&out, 1);
    Put16(&out, kImages);
    uint32_t offset = 6 + kImages * 16;
    for (int i = 0; i < kImages; i++) {
        images[i] = sizes[i] >= kFirstPng ? PngImage(shapes, sizes[i])
                                          : BitmapImage(shapes, sizes[i], bits[i]);
        if (images[i].empty())
            return false;
        out.push_back((char)(sizes[i] & 0xff)); // 0 stands for 256
        out.push_back((char)(sizes[i] & 0xff));
        out.push_back(0); // 256 colours or more
        out.push_back(0);
        Put16(&out, 1);
        Put16(&out, (uint32_t)bits[i]);
        Put32(&out, (uint32_t)images[i].size());
        Put32(&out, offset);
        offset += (uint32_t)images[i].size();
    }
    for (const std::string &image : images)
        out += image;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: mkicons OUTDIR\n", stderr);
        return 2;
    }
    std::string dir = argv[1];
    if (!WriteIcon(dir + "/setup.ico", SetupShapes()) ||
        !WriteIcon(dir + "/uninstall.ico", UninstallShapes())) {
        fprintf(stderr, "mkicons: cannot write the icons into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}

#include "tools/toolfiles.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <iconv.h>
#include <sys/wait.h>
#endif

bool ReadBinaryFile(const std::string &path, std::vector<uint8_t> *data)
{
    uint64_t size;
    if (!RegularFileSize(path, &size) || size > SIZE_MAX)
        return false;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    data->resize((size_t)size);
    size_t read = size ? fread(data->data(), 1, (size_t)size, f) : 0;
    fclose(f);
    return read == size;
}

bool WriteBinaryFile(const std::string &path, const std::vector<uint8_t> &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool written = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && written;
}

#ifdef _WIN32

bool IsDirectoryPath(const std::string &path)
{
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool RegularFileSize(const std::string &path, uint64_t *size)
{
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    *size = (uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow;
    return true;
}

// Names directly in `folder`: its regular files, or its folders that are not links.
static bool ListIn(const std::string &folder, bool folders, std::vector<std::string> *names)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        DWORD a = found.dwFileAttributes;
        bool isFolder = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool wanted = folders ? isFolder && !(a & FILE_ATTRIBUTE_REPARSE_POINT) &&
                                    strcmp(found.cFileName, ".") != 0 &&
                                    strcmp(found.cFileName, "..") != 0
                              : !isFolder;
        if (wanted)
            names->push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names->begin(), names->end());
    return true;
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MoveFileOver(const std::string &from, const std::string &to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string ShellQuote(const std::string &path)
{
    return "\"" + path + "\""; // Windows paths cannot hold '"'
}

int RunShellCommand(const std::string &command)
{
    fflush(nullptr);
    // cmd /c drops the first and the last quote of a line that holds more than two: an outer
    // pair keeps the command's own quotes.
    return system(("\"" + command + "\"").c_str());
}

#else

bool IsDirectoryPath(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RegularFileSize(const std::string &path, uint64_t *size)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = (uint64_t)st.st_size;
    return true;
}

// Names directly in `folder`: its regular files (links followed), or its folders that are not
// symbolic links.
static bool ListIn(const std::string &folder, bool folders, std::vector<std::string> *names)
{
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return false;
    while (struct dirent *e = readdir(dir)) {
        std::string path = JoinPath(folder, e->d_name);
        struct stat st;
        bool wanted = folders ? strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
                                    lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                              : stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (wanted)
            names->push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names->begin(), names->end());
    return true;
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool MoveFileOver(const std::string &from, const std::string &to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

std::string ShellQuote(const std::string &path)
{
    std::string quoted = "'";
    for (char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int RunShellCommand(const std::string &command)
{
    fflush(nullptr);
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

bool ListFilesIn(const std::string &folder, std::vector<std::string> *names)
{
    return ListIn(folder, false, names);
}

bool ListFoldersIn(const std::string &folder, std::vector<std::string> *names)
{
    return ListIn(folder, true, names);
}

std::string JoinPath(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    char last = folder.back();
    if (last == '/' || last == '\\')
        return folder + name;
    return folder + "/" + name;
}

bool ConvertToUtf8(const std::string &encoding, const std::vector<uint8_t> &text,
                   std::vector<uint8_t> *utf8)
{
    std::string digits = encoding;
    if (digits.size() > 2 && (digits[0] == 'c' || digits[0] == 'C') &&
        (digits[1] == 'p' || digits[1] == 'P'))
        digits = digits.substr(2);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    utf8->clear();
    if (text.empty())
        return true;
#ifdef _WIN32
    UINT page = (UINT)strtoul(digits.c_str(), nullptr, 10);
    int units = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, (const char *)text.data(),
                                    (int)text.size(), nullptr, 0);
    if (units <= 0)
        return false;
    std::vector<wchar_t> wide((size_t)units);
    MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, (const char *)text.data(), (int)text.size(),
                        wide.data(), units);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    utf8->resize((size_t)bytes);
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, (char *)utf8->data(), bytes, nullptr,
                        nullptr);
    return bytes > 0;
#else
    iconv_t converter = iconv_open("UTF-8", ("CP" + digits).c_str());
    if (converter == (iconv_t)-1)
        return false;
    // No character of a code page takes more than four bytes of UTF-8.
    utf8->resize(text.size() * 4);
    char *in = (char *)text.data();
    size_t inLeft = text.size();
    char *out = (char *)utf8->data();
    size_t outLeft = utf8->size();
    bool converted = iconv(converter, &in, &inLeft, &out, &outLeft) != (size_t)-1 && inLeft == 0;
    iconv_close(converter);
    utf8->resize(utf8->size() - outLeft);
    return converted;
#endif
}

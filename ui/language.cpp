#include "ui/language.h"

#include "base/globals.h"
#include "base/unicode.h"
#include "resources/resource.h"

enum { kMaxLanguages = 64 };

// The languages the engine ships, as the frame dialog's copies tell them.
struct ShippedLanguages {
    WORD ids[kMaxLanguages];
    int count;
};

static BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR data)
{
    ShippedLanguages *shipped = (ShippedLanguages *)data;
    if (language != kEnglishResources && shipped->count < kMaxLanguages)
        shipped->ids[shipped->count++] = language;
    return TRUE;
}

// The person's interface language; the system's language where Windows has no such call
// (Windows 95 and NT 4).
static int InterfaceLanguage(void)
{
    typedef LANGID(WINAPI * UiLanguageFunction)(void);
    UiLanguageFunction uiLanguage = (UiLanguageFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetUserDefaultUILanguage");
    return uiLanguage ? uiLanguage() : GetSystemDefaultLangID();
}

// Chinese and Portuguese are written differently in their variants: only the same one counts.
static bool VariantsDiffer(int primary)
{
    return primary == LANG_CHINESE || primary == LANG_PORTUGUESE;
}

static int ResourceLanguageFor(int wanted)
{
    ShippedLanguages shipped;
    shipped.count = 0;
    EnumResourceLanguagesW((HMODULE)Instance, (LPCWSTR)RT_DIALOG, MAKEINTRESOURCEW(IDD_FRAME),
                           AddLanguage, (LONG_PTR)&shipped); /* none found: English */
    for (int i = 0; i < shipped.count; i++) {
        if (shipped.ids[i] == wanted)
            return wanted;
    }
    int primary = PRIMARYLANGID(wanted);
    for (int i = 0; i < shipped.count; i++) {
        if (PRIMARYLANGID(shipped.ids[i]) == primary && !VariantsDiffer(primary))
            return shipped.ids[i];
    }
    return kEnglishResources;
}

static bool TranslatedStatus(unsigned id, char *buffer, size_t capacity)
{
    return LoadLanguageString(id, buffer, capacity);
}

int ChooseLanguage(int requested)
{
    int wanted = requested > 0 && requested <= 0xFFFF ? requested : InterfaceLanguage();
    ResourceLanguage = ResourceLanguageFor(wanted);
    // English status lines are the engine's own formats: no need to look them up.
    LanguageText = ResourceLanguage == kEnglishResources ? nullptr : TranslatedStatus;
    return ChosenLanguage();
}

int ChosenLanguage(void)
{
    return ResourceLanguage == kEnglishResources ? kEnglishLanguage : ResourceLanguage;
}

// Resource `id` of `type` in `language`; null, with size 0, when there is none.
static const void *FindInLanguage(LPCWSTR type, int id, int language, DWORD *size)
{
    HMODULE module = (HMODULE)Instance;
    *size = 0;
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), (WORD)language);
    if (!found)
        return nullptr;
    const void *data = LockResource(LoadResource(module, found));
    if (data)
        *size = SizeofResource(module, found);
    return data;
}

// The chosen language's resource, else the English one.
static const void *FindLanguageResource(LPCWSTR type, int id, DWORD *size)
{
    const void *data = FindInLanguage(type, id, ResourceLanguage, size);
    if (!data && ResourceLanguage != kEnglishResources)
        data = FindInLanguage(type, id, kEnglishResources, size);
    return data;
}

const DLGTEMPLATE *LanguageDialog(int id)
{
    DWORD size;
    return (const DLGTEMPLATE *)FindLanguageResource((LPCWSTR)RT_DIALOG, id, &size);
}

// Entry `id` in the string block of `language`: each block holds 16 entries, each a count of
// UTF-16 units followed by that many (an absent entry has count 0).
static bool StringInLanguage(unsigned id, int language, const WCHAR **text, size_t *length)
{
    DWORD size;
    const WORD *block =
        (const WORD *)FindInLanguage((LPCWSTR)RT_STRING, (int)(id / 16 + 1), language, &size);
    if (!block)
        return false;
    size_t units = size / sizeof(WORD);
    size_t at = 0;
    for (unsigned entry = 0; entry < id % 16; entry++) {
        if (at >= units)
            return false;
        at += 1 + block[at];
    }
    if (at >= units || block[at] == 0 || block[at] > units - at - 1)
        return false;
    *text = (const WCHAR *)&block[at + 1];
    *length = block[at];
    return true;
}

bool LoadLanguageStringW(unsigned id, WCHAR *buffer, size_t capacity)
{
    buffer[0] = 0;
    const WCHAR *text = nullptr;
    size_t length = 0;
    if (!StringInLanguage(id, ResourceLanguage, &text, &length) &&
        !StringInLanguage(id, kEnglishResources, &text, &length))
        return false;
    if (length >= capacity) {
        length = capacity - 1;
        // A cut between the two halves of a surrogate pair drops the first half.
        if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF)
            length--;
    }
    for (size_t i = 0; i < length; i++)
        buffer[i] = text[i];
    buffer[length] = 0;
    return true;
}

bool LoadLanguageString(unsigned id, char *buffer, size_t capacity)
{
    WCHAR wide[kMessageSize];
    buffer[0] = 0;
    if (!LoadLanguageStringW(id, wide, kMessageSize))
        return false;
    return Utf16ToUtf8((const uint16_t *)wide, buffer, capacity) != kConvertInvalid;
}

void ToWide(const char *text, WCHAR *buffer, size_t capacity)
{
    if (Utf8ToUtf16(text, (uint16_t *)buffer, capacity) == kConvertInvalid &&
        MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, (int)capacity) == 0)
        buffer[0] = 0;
    buffer[capacity - 1] = 0;
}

void FromWide(const WCHAR *text, char *buffer, size_t capacity)
{
    if (Utf16ToUtf8((const uint16_t *)text, buffer, capacity) == kConvertInvalid)
        buffer[0] = 0;
}

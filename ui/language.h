// The wizard's language. Each language's dialogs and strings are a copy of the resources tagged
// with its language ID; the English ones, tagged German (Austria), are the fallback. The
// language is chosen from the person's interface language, or forced by the script through
// #LANGUAGE#, and every resource is then found by that language explicitly, never by the
// loader's own choice.
#pragma once

#include <windows.h>

#include <stddef.h>

// The language ID the English resources carry.
enum { kEnglishResources = 0x0C07, kEnglishLanguage = 0x0409 };

// Chooses the language of the resources: `requested` (a language ID) when it is not 0,
// otherwise the person's interface language. A language the engine ships is taken as it is;
// another one takes the shipped language of its primary language (Chinese and Portuguese only
// in the same variant), and English when none is shipped. Returns the chosen language's ID as
// #LANGUAGE# publishes it (English is 1033, whatever its resources are tagged).
int ChooseLanguage(int requested);

// The chosen language's ID as #LANGUAGE# publishes it.
int ChosenLanguage(void);

// Dialog template `id` in the chosen language (English when that language lacks it); null when
// there is none.
const DLGTEMPLATE *LanguageDialog(int id);

// String-table entry `id` in the chosen language (English when that language lacks it) as UTF-16
// into `buffer` (`capacity` units), cut at a character boundary. False, with an empty text, when
// neither has it.
bool LoadLanguageStringW(unsigned id, WCHAR *buffer, size_t capacity);

// The same as UTF-8, the engine's own text.
bool LoadLanguageString(unsigned id, char *buffer, size_t capacity);

// Engine text to UTF-16 for a wide call, and back. Text that is not UTF-8 (from an 8-bit call)
// is taken in the system's code page.
void ToWide(const char *text, WCHAR *buffer, size_t capacity);
void FromWide(const WCHAR *text, char *buffer, size_t capacity);

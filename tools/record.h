// mksetup record HEX...: decodes a product registration record given as hexadecimal digits
// (as "reg query" prints them; blanks and line breaks are ignored; "-" reads standard input).
#pragma once

int RunRecord(int argc, char **argv);

extern const char RecordUsage[];

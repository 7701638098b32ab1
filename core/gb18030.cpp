#include "core/gb18030.h"

#include <windows.h>

#include <stdint.h>

namespace tw {

namespace {

// The tables below are printed by tools/gb18030_tables.py (GB18030-2000, the
// edition that agrees with code page 936 on every two-byte code but these).

// Two-byte codes where GB18030 names a character that code page 936 leaves
// to the Private Use Area; those Private Use characters take four bytes.
struct TwoByteException {
    uint16_t code;
    uint16_t character;
};
constexpr TwoByteException kTwoByteExceptions[] = {
    {0xA2E3, 0x20AC}, {0xA8BF, 0x01F9}, {0xA989, 0x303E}, {0xA98A, 0x2FF0}, {0xA98B, 0x2FF1}, {0xA98C, 0x2FF2},
    {0xA98D, 0x2FF3}, {0xA98E, 0x2FF4}, {0xA98F, 0x2FF5}, {0xA990, 0x2FF6}, {0xA991, 0x2FF7}, {0xA992, 0x2FF8},
    {0xA993, 0x2FF9}, {0xA994, 0x2FFA}, {0xA995, 0x2FFB}, {0xFE50, 0x2E81}, {0xFE54, 0x2E84}, {0xFE55, 0x3473},
    {0xFE56, 0x3447}, {0xFE57, 0x2E88}, {0xFE58, 0x2E8B}, {0xFE5A, 0x359E}, {0xFE5B, 0x361A}, {0xFE5C, 0x360E},
    {0xFE5D, 0x2E8C}, {0xFE5E, 0x2E97}, {0xFE5F, 0x396E}, {0xFE60, 0x3918}, {0xFE62, 0x39CF}, {0xFE63, 0x39DF},
    {0xFE64, 0x3A73}, {0xFE65, 0x39D0}, {0xFE68, 0x3B4E}, {0xFE69, 0x3C6E}, {0xFE6A, 0x3CE0}, {0xFE6B, 0x2EA7},
    {0xFE6E, 0x2EAA}, {0xFE6F, 0x4056}, {0xFE70, 0x415F}, {0xFE71, 0x2EAE}, {0xFE72, 0x4337}, {0xFE73, 0x2EB3},
    {0xFE74, 0x2EB6}, {0xFE75, 0x2EB7}, {0xFE77, 0x43B1}, {0xFE78, 0x43AC}, {0xFE79, 0x2EBB}, {0xFE7A, 0x43DD},
    {0xFE7B, 0x44D6}, {0xFE7C, 0x4661}, {0xFE7D, 0x464C}, {0xFE80, 0x4723}, {0xFE81, 0x4729}, {0xFE82, 0x477C},
    {0xFE83, 0x478D}, {0xFE84, 0x2ECA}, {0xFE85, 0x4947}, {0xFE86, 0x497A}, {0xFE87, 0x497D}, {0xFE88, 0x4982},
    {0xFE89, 0x4983}, {0xFE8A, 0x4985}, {0xFE8B, 0x4986}, {0xFE8C, 0x499F}, {0xFE8D, 0x499B}, {0xFE8E, 0x49B7},
    {0xFE8F, 0x49B6}, {0xFE92, 0x4CA3}, {0xFE93, 0x4C9F}, {0xFE94, 0x4CA0}, {0xFE95, 0x4CA1}, {0xFE96, 0x4C77},
    {0xFE97, 0x4CA2}, {0xFE98, 0x4D13}, {0xFE99, 0x4D14}, {0xFE9A, 0x4D15}, {0xFE9B, 0x4D16}, {0xFE9C, 0x4D17},
    {0xFE9D, 0x4D18}, {0xFE9E, 0x4D19}, {0xFE9F, 0x4DAE},
};

// Every Basic Multilingual Plane character from U+0080 without a one- or
// two-byte form takes four bytes, in character order: linear index 0 is
// 81 30 81 30. Each run lists where such characters follow one another
// without a gap; the last entry ends the plane.
struct FourByteRun {
    uint32_t first;
    uint32_t linear;
};
constexpr FourByteRun kFourByteRuns[] = {
    {0x0080, 0},     {0x00A5, 36},    {0x00A9, 38},     {0x00B2, 45},    {0x00B8, 50},    {0x00D8, 81},
    {0x00E2, 89},    {0x00EB, 95},    {0x00EE, 96},     {0x00F4, 100},   {0x00F8, 103},   {0x00FB, 104},
    {0x00FD, 105},   {0x0102, 109},   {0x0114, 126},    {0x011C, 133},   {0x012C, 148},   {0x0145, 172},
    {0x0149, 175},   {0x014E, 179},   {0x016C, 208},    {0x01CF, 306},   {0x01D1, 307},   {0x01D3, 308},
    {0x01D5, 309},   {0x01D7, 310},   {0x01D9, 311},    {0x01DB, 312},   {0x01DD, 313},   {0x01FA, 341},
    {0x0252, 428},   {0x0262, 443},   {0x02C8, 544},    {0x02CC, 545},   {0x02DA, 558},   {0x03A2, 741},
    {0x03AA, 742},   {0x03C2, 749},   {0x03CA, 750},    {0x0402, 805},   {0x0450, 819},   {0x0452, 820},
    {0x2011, 7922},  {0x2017, 7924},  {0x201A, 7925},   {0x201E, 7927},  {0x2027, 7934},  {0x2031, 7943},
    {0x2034, 7944},  {0x2036, 7945},  {0x203C, 7950},   {0x20AD, 8062},  {0x2104, 8148},  {0x2106, 8149},
    {0x210A, 8152},  {0x2117, 8164},  {0x2122, 8174},   {0x216C, 8236},  {0x217A, 8240},  {0x2194, 8262},
    {0x219A, 8264},  {0x2209, 8374},  {0x2210, 8380},   {0x2212, 8381},  {0x2216, 8384},  {0x221B, 8388},
    {0x2221, 8390},  {0x2224, 8392},  {0x2226, 8393},   {0x222C, 8394},  {0x222F, 8396},  {0x2238, 8401},
    {0x223E, 8406},  {0x2249, 8416},  {0x224D, 8419},   {0x2253, 8424},  {0x2262, 8437},  {0x2268, 8439},
    {0x2270, 8445},  {0x2296, 8482},  {0x229A, 8485},   {0x22A6, 8496},  {0x22C0, 8521},  {0x2313, 8603},
    {0x246A, 8936},  {0x249C, 8946},  {0x254C, 9046},   {0x2574, 9050},  {0x2590, 9063},  {0x2596, 9066},
    {0x25A2, 9076},  {0x25B4, 9092},  {0x25BE, 9100},   {0x25C8, 9108},  {0x25CC, 9111},  {0x25D0, 9113},
    {0x25E6, 9131},  {0x2607, 9162},  {0x260A, 9164},   {0x2641, 9218},  {0x2643, 9219},  {0x2E82, 11329},
    {0x2E85, 11331}, {0x2E89, 11334}, {0x2E8D, 11336},  {0x2E98, 11346}, {0x2EA8, 11361}, {0x2EAB, 11363},
    {0x2EAF, 11366}, {0x2EB4, 11370}, {0x2EB8, 11372},  {0x2EBC, 11375}, {0x2ECB, 11389}, {0x2FFC, 11682},
    {0x3004, 11686}, {0x3018, 11687}, {0x301F, 11692},  {0x302A, 11694}, {0x303F, 11714}, {0x3094, 11716},
    {0x309F, 11723}, {0x30F7, 11725}, {0x30FF, 11730},  {0x312A, 11736}, {0x322A, 11982}, {0x3232, 11989},
    {0x32A4, 12102}, {0x3390, 12336}, {0x339F, 12348},  {0x33A2, 12350}, {0x33C5, 12384}, {0x33CF, 12393},
    {0x33D3, 12395}, {0x33D6, 12397}, {0x3448, 12510},  {0x3474, 12553}, {0x359F, 12851}, {0x360F, 12962},
    {0x361B, 12973}, {0x3919, 13738}, {0x396F, 13823},  {0x39D1, 13919}, {0x39E0, 13933}, {0x3A74, 14080},
    {0x3B4F, 14298}, {0x3C6F, 14585}, {0x3CE1, 14698},  {0x4057, 15583}, {0x4160, 15847}, {0x4338, 16318},
    {0x43AD, 16434}, {0x43B2, 16438}, {0x43DE, 16481},  {0x44D7, 16729}, {0x464D, 17102}, {0x4662, 17122},
    {0x4724, 17315}, {0x472A, 17320}, {0x477D, 17402},  {0x478E, 17418}, {0x4948, 17859}, {0x497B, 17909},
    {0x497E, 17911}, {0x4984, 17915}, {0x4987, 17916},  {0x499C, 17936}, {0x49A0, 17939}, {0x49B8, 17961},
    {0x4C78, 18664}, {0x4CA4, 18703}, {0x4D1A, 18814},  {0x4DAF, 18962}, {0x9FA6, 19043}, {0xE76C, 33469},
    {0xE7C8, 33470}, {0xE7E7, 33471}, {0xE815, 33484},  {0xE819, 33485}, {0xE81F, 33490}, {0xE827, 33497},
    {0xE82D, 33501}, {0xE833, 33505}, {0xE83C, 33513},  {0xE844, 33520}, {0xE856, 33536}, {0xE865, 33550},
    {0xF92D, 37845}, {0xF97A, 37921}, {0xF996, 37948},  {0xF9E8, 38029}, {0xF9F2, 38038}, {0xFA10, 38064},
    {0xFA12, 38065}, {0xFA15, 38066}, {0xFA19, 38069},  {0xFA22, 38075}, {0xFA25, 38076}, {0xFA2A, 38078},
    {0xFE32, 39108}, {0xFE45, 39109}, {0xFE53, 39113},  {0xFE58, 39114}, {0xFE67, 39115}, {0xFE6C, 39116},
    {0xFF5F, 39265}, {0xFFE6, 39394}, {0x10000, 39420},
};
constexpr size_t kRunCount = sizeof(kFourByteRuns) / sizeof(kFourByteRuns[0]) - 1;

// The planes above the first follow on from 90 30 81 30, which is U+10000.
constexpr uint32_t kSupplementaryLinear = 189000;
constexpr uint32_t kSupplementaryCount = 0x100000;

constexpr unsigned kTrailSlots = 0xFF - 0x40;

bool IsLead(unsigned byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

bool IsFourByteDigit(unsigned byte)
{
    return byte >= 0x30 && byte <= 0x39;
}

bool IsTwoByteTrail(unsigned byte)
{
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

size_t Slot(unsigned lead, unsigned trail)
{
    return (lead - 0x81) * kTrailSlots + (trail - 0x40);
}

// The two-byte part in both directions, taken from code page 936 once and
// then corrected by the exceptions.
struct CTwoByteTables {
    CTwoByteTables();
    uint16_t codeOf[0x10000] = {};               // 0: no two-byte form
    wchar_t characterOf[126 * kTrailSlots] = {}; // 0: no character
};

CTwoByteTables::CTwoByteTables()
{
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
        for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
            char code[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            wchar_t character = 0;
            if (!IsTwoByteTrail(trail) || MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, code, 2, &character, 1) != 1)
                continue;
            characterOf[Slot(lead, trail)] = character;
            if (character >= 0x80 && !codeOf[character])
                codeOf[character] = static_cast<uint16_t>(lead << 8 | trail);
        }
    }
    for (const TwoByteException& e : kTwoByteExceptions) {
        wchar_t& held = characterOf[Slot(e.code >> 8, e.code & 0xFF)];
        if (held && codeOf[held] == e.code)
            codeOf[held] = 0;
        held = static_cast<wchar_t>(e.character);
        codeOf[e.character] = e.code;
    }
}

const CTwoByteTables& TwoByteTables()
{
    static const CTwoByteTables tables;
    return tables;
}

// The run that holds point (or linear index) is the last one starting at or
// before it.
template <typename Key> const FourByteRun& RunAt(uint32_t value, Key key)
{
    size_t low = 0;
    size_t high = kRunCount;
    while (high - low > 1) {
        size_t middle = (low + high) / 2;
        if (key(kFourByteRuns[middle]) <= value)
            low = middle;
        else
            high = middle;
    }
    return kFourByteRuns[low];
}

// The linear index of a character of the first plane without a shorter form.
bool LinearOfPoint(uint32_t point, uint32_t* linear)
{
    if (point < 0x80 || point > 0xFFFF)
        return false;
    const FourByteRun& run = RunAt(point, [](const FourByteRun& r) { return r.first; });
    const FourByteRun& next = (&run)[1];
    uint32_t offset = point - run.first;
    if (offset >= next.linear - run.linear)
        return false;
    *linear = run.linear + offset;
    return true;
}

bool PointOfLinear(uint32_t linear, uint32_t* point)
{
    if (linear >= kSupplementaryLinear && linear - kSupplementaryLinear < kSupplementaryCount) {
        *point = 0x10000 + (linear - kSupplementaryLinear);
        return true;
    }
    if (linear >= kFourByteRuns[kRunCount].linear)
        return false;
    const FourByteRun& run = RunAt(linear, [](const FourByteRun& r) { return r.linear; });
    *point = run.first + (linear - run.linear);
    return true;
}

size_t FourByteForm(uint32_t linear, unsigned char* form)
{
    form[3] = static_cast<unsigned char>(0x30 + linear % 10);
    linear /= 10;
    form[2] = static_cast<unsigned char>(0x81 + linear % 126);
    linear /= 126;
    form[1] = static_cast<unsigned char>(0x30 + linear % 10);
    form[0] = static_cast<unsigned char>(0x81 + linear / 10);
    return 4;
}

bool IsHighSurrogate(uint32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

size_t EncodeGb18030(const wchar_t* text, size_t count, char* out, bool* lossless)
{
    const CTwoByteTables& tables = TwoByteTables();
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t unit = text[i];
        unsigned char form[4] = {0};
        size_t size = 0;
        uint32_t linear = 0;
        if (unit < 0x80) {
            form[0] = static_cast<unsigned char>(unit);
            size = 1;
        } else if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
            uint32_t point = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
            size = FourByteForm(kSupplementaryLinear + (point - 0x10000), form);
        } else if (uint16_t code = tables.codeOf[unit]) {
            form[0] = static_cast<unsigned char>(code >> 8);
            form[1] = static_cast<unsigned char>(code & 0xFF);
            size = 2;
        } else if (LinearOfPoint(unit, &linear)) {
            size = FourByteForm(linear, form);
        } else {
            form[0] = '?';
            size = 1;
            if (lossless)
                *lossless = false;
        }
        for (size_t k = 0; k < size; ++k) {
            if (out)
                out[length] = static_cast<char>(form[k]);
            ++length;
        }
    }
    return length;
}

size_t DecodeGb18030(const char* bytes, size_t count, wchar_t* out, bool* valid)
{
    const CTwoByteTables& tables = TwoByteTables();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t length = 0;
    auto put = [&](uint32_t point) {
        if (point >= 0x10000) {
            if (out) {
                out[length] = static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
                out[length + 1] = static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
            }
            length += 2;
        } else {
            if (out)
                out[length] = static_cast<wchar_t>(point);
            ++length;
        }
    };
    for (size_t i = 0; i < count;) {
        unsigned lead = b[i];
        if (lead < 0x80) {
            put(lead);
            ++i;
            continue;
        }
        if (lead == 0x80) {
            put(0x20AC);
            ++i;
            continue;
        }
        if (IsLead(lead) && i + 1 < count) {
            unsigned second = b[i + 1];
            if (IsFourByteDigit(second) && i + 3 < count && IsLead(b[i + 2]) && IsFourByteDigit(b[i + 3])) {
                uint32_t linear =
                    (((lead - 0x81) * 10 + (second - 0x30)) * 126 + (b[i + 2] - 0x81)) * 10 + (b[i + 3] - 0x30);
                uint32_t point = 0;
                if (PointOfLinear(linear, &point)) {
                    put(point);
                    i += 4;
                    continue;
                }
            } else if (IsTwoByteTrail(second)) {
                if (wchar_t character = tables.characterOf[Slot(lead, second)]) {
                    put(character);
                    i += 2;
                    continue;
                }
            }
        }
        put(0xFFFD);
        if (valid)
            *valid = false;
        ++i;
    }
    return length;
}

} // namespace tw

#include "config/config.h"

#include "core/clock.h"
#include "core/exe_path.h"
#include "core/trace.h"

#include <windows.h>

#include <io.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace tw {

CConfig g_config;

namespace {

const char kFirstRunText[] = "<config />";
const char kEntryName[] = "config";
const wchar_t kTraceTag[] = L"配置文件";

// TinyXML parses recursively; a file nested deeper than any configuration
// could be would exhaust the stack instead of failing to load.
constexpr int kMaxNesting = 256;
// Far beyond any real configuration; larger files are not read into memory.
constexpr long long kMaxFileBytes = 16 * 1024 * 1024;

const char* SkipPast(const char* p, const char* end, const char* terminator)
{
    size_t length = strlen(terminator);
    for (; p + length <= end; ++p) {
        if (memcmp(p, terminator, length) == 0)
            return p + length;
    }
    return end;
}

// Deepest element nesting of an XML text, counted generously: it may count
// more than a parser would, never less.
int NestingDepth(const char* p, const char* end)
{
    int depth = 0;
    int deepest = 0;
    while (p < end) {
        if (*p != '<') {
            ++p;
            continue;
        }
        if (end - p >= 4 && memcmp(p, "<!--", 4) == 0) {
            p = SkipPast(p + 4, end, "-->");
        } else if (end - p >= 9 && memcmp(p, "<![CDATA[", 9) == 0) {
            p = SkipPast(p + 9, end, "]]>");
        } else if (end - p >= 2 && (p[1] == '?' || p[1] == '!')) {
            p = SkipPast(p + 2, end, ">");
        } else if (end - p >= 2 && p[1] == '/') {
            if (depth > 0)
                --depth;
            p = SkipPast(p + 2, end, ">");
        } else {
            if (++depth > deepest)
                deepest = depth;
            char quote = 0;
            char previous = 0;
            for (++p; p < end; ++p) {
                if (quote) {
                    if (*p == quote)
                        quote = 0;
                } else if (*p == '"' || *p == '\'') {
                    quote = *p;
                } else if (*p == '>') {
                    break;
                }
                previous = *p;
            }
            if (previous == '/' && depth > 0)
                --depth;
            if (p < end)
                ++p;
        }
    }
    return deepest;
}

bool FileIsMissing(const CStrW& path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Reads the whole file when it is of a sane size; false otherwise.
bool ReadSmallFile(FILE* file, char** data, size_t* size)
{
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return false;
    long long length = _ftelli64(file);
    if (length < 0 || length > kMaxFileBytes || _fseeki64(file, 0, SEEK_SET) != 0)
        return false;
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (!buffer)
        return false;
    size_t read = fread(buffer, 1, static_cast<size_t>(length), file);
    if (read != static_cast<size_t>(length)) {
        free(buffer);
        return false;
    }
    buffer[read] = 0;
    *data = buffer;
    *size = read;
    return true;
}

bool SameName(const CStrA& name, const char* other)
{
    return _stricmp(name.c_str(), other) == 0;
}

// The encoding that the XML declaration at the start of the text names, or
// empty when there is none.
CStrA DeclaredEncoding(const char* p, const char* end)
{
    CStrA encoding;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        ++p;
    if (end - p < 5 || memcmp(p, "<?xml", 5) != 0)
        return encoding;
    const char* close = SkipPast(p, end, "?>");
    const char* key = p;
    while ((key = SkipPast(key, close, "encoding")) < close) {
        const char* q = key;
        while (q < close && (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n' || *q == '='))
            ++q;
        if (q < close && (*q == '"' || *q == '\'')) {
            const char* value = q + 1;
            const char* last = value;
            while (last < close && *last != *q)
                ++last;
            if (last > value)
                encoding.AssignChars(value, static_cast<size_t>(last - value));
            return encoding;
        }
    }
    return encoding;
}

bool HasHighBytes(const char* p, const char* end)
{
    for (; p < end; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80)
            return true;
    }
    return false;
}

// The text of bytes in a code page that must hold all of them exactly.
bool DecodeExactly(UINT codePage, const char* p, const char* end, CStrW* text)
{
    if (end - p > INT_MAX)
        return false;
    int count = static_cast<int>(end - p);
    if (count == 0) {
        text->AssignChars(nullptr, 0);
        return true;
    }
    int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, count, nullptr, 0);
    if (size <= 0)
        return false;
    wchar_t* buffer = text->Reserve(static_cast<size_t>(size));
    if (!buffer || MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, count, buffer, size) != size)
        return false;
    text->SetLength(static_cast<size_t>(size));
    return true;
}

// UTF-16 with its byte-order mark, as Notepad's "Unicode" saves it.
bool DecodeUtf16(const char* p, const char* end, CStrW* text)
{
    if (end - p < 2)
        return false;
    bool little = memcmp(p, "\xFF\xFE", 2) == 0;
    if (!little && memcmp(p, "\xFE\xFF", 2) != 0)
        return false;
    size_t count = static_cast<size_t>(end - p - 2) / 2;
    wchar_t* buffer = text->Reserve(count);
    if (!buffer)
        return false;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p + 2);
    for (size_t i = 0; i < count; ++i)
        buffer[i] = static_cast<wchar_t>(little ? b[2 * i] | b[2 * i + 1] << 8 : b[2 * i] << 8 | b[2 * i + 1]);
    text->SetLength(count);
    return true;
}

// The file's text read in the encoding it really has, whatever its
// declaration says: editors such as Notepad save UTF-8 and leave the
// declaration alone.
// - A UTF-8 byte-order mark or declaration, or bytes that are valid UTF-8
//   and not plain ASCII (text in code page 936 almost never is), mean UTF-8.
// - A GB18030 declaration means GB18030, as Tollwick writes text that code
//   page 936 cannot hold.
// - Anything else is code page 936, as it always was; where 936 finds bytes
//   it has no character for, GB18030 is tried, which reads 936's text alike.
CStrW DecodeFileText(const char* data, size_t size)
{
    const char* p = data;
    const char* end = data + size;
    CStrW text;
    if (DecodeUtf16(p, end, &text))
        return text;
    bool marked = size >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0;
    if (marked)
        p += 3;
    CStrA declared = DeclaredEncoding(p, end);
    bool named = SameName(declared, "UTF-8") || SameName(declared, "UTF8");
    if ((marked || named || HasHighBytes(p, end)) && DecodeExactly(CP_UTF8, p, end, &text))
        return text;
    if (!SameName(declared, "GB18030") && DecodeExactly(936, p, end, &text))
        return text;
    return ToWide(CStrA(p, static_cast<size_t>(end - p)));
}

// CR LF and a lone CR become LF, as XML reads line ends.
void NormaliseLineEnds(CStrA& text)
{
    char* buffer = text.Buffer();
    if (!buffer)
        return;
    size_t length = text.Length();
    size_t to = 0;
    for (size_t from = 0; from < length; ++from) {
        if (buffer[from] == '\r') {
            buffer[to++] = '\n';
            if (from + 1 < length && buffer[from + 1] == '\n')
                ++from;
        } else {
            buffer[to++] = buffer[from];
        }
    }
    text.SetLength(to);
}

void AppendWithCrLf(CStrA& out, const char* text, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\n')
            continue;
        // A count of 0 would measure the text: empty pieces are skipped.
        if (i > start)
            out.AppendChars(text + start, i - start);
        if (i < length)
            out.AppendChars("\r\n", 2);
        start = i + 1;
    }
}

// "20261206-053000": now on the UTC+8 wall clock, for names of kept files.
CStrW Utc8FileStamp()
{
    struct tm parts;
    CStrW stamp;
    if (!BreakDownUtc8(0, &parts))
        return stamp;
    stamp.Format(L"%04d%02d%02d-%02d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                 parts.tm_min, parts.tm_sec);
    return stamp;
}

bool FlushAndClose(FILE* file)
{
    bool ok = fflush(file) == 0 && ferror(file) == 0;
    if (ok) {
        HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
        ok = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    }
    return fclose(file) == 0 && ok;
}

} // namespace

bool CConfig::Open()
{
    CStrW directory = DirectoryOf(ExecutablePath());
    if (directory.IsEmpty())
        return false;
    return OpenIn(directory);
}

bool CConfig::OpenIn(const CStrW& directory)
{
    m_widePath = directory;
    m_widePath.AppendChars(L"config.xml", 0);
    m_path = ToNarrow(m_widePath);
    m_keptPath.Release();
    m_damagedFileUnkept = false;

    LoadResult result = LoadDocument();
    if (result == LoadResult::Loaded)
        return true;
    if (result == LoadResult::Damaged)
        KeepDamagedFile();
    if (!MakeFirstRunDocument())
        return false;
    Save();
    return true;
}

// The file is opened by its wide path, so a folder name outside the system's
// 8-bit code page works as well. Its text is read in the encoding it really
// has and held in the document as GB18030, the program's 8-bit form; the
// declaration is not kept, Save writes its own.
CConfig::LoadResult CConfig::LoadDocument()
{
    FILE* file = _wfopen(m_widePath.c_str(), L"rb");
    if (!file)
        return FileIsMissing(m_widePath) ? LoadResult::Missing : LoadResult::Damaged;
    char* data = nullptr;
    size_t size = 0;
    bool sane = ReadSmallFile(file, &data, &size) && size > 0 && NestingDepth(data, data + size) <= kMaxNesting;
    fclose(file);
    CStrA text;
    if (sane) {
        text = ToNarrow(DecodeFileText(data, size));
        NormaliseLineEnds(text);
    }
    free(data);
    m_document.Clear();
    m_document.ClearError();
    if (sane && !text.IsEmpty()) {
        m_document.Parse(text.c_str(), nullptr, TIXML_ENCODING_LEGACY);
        RemoveDeclarations();
    }
    // A document without a root element holds no settings to keep using.
    if (sane && !m_document.Error() && Root())
        return LoadResult::Loaded;
    m_document.Clear();
    m_document.ClearError();
    return LoadResult::Damaged;
}

void CConfig::RemoveDeclarations()
{
    TiXmlNode* node = m_document.FirstChild();
    while (node) {
        TiXmlNode* next = node->NextSibling();
        if (node->ToDeclaration())
            m_document.RemoveChild(node);
        node = next;
    }
}

bool CConfig::MakeFirstRunDocument()
{
    m_document.Clear();
    m_document.ClearError();
    m_document.Parse(kFirstRunText, nullptr, TIXML_ENCODING_LEGACY);
    if (m_document.Error() || !Root())
        return false;
    SetInt(0, "bootstart", 0);
    SetInt(0, "monitortime", 5);
    SetInt(0, "closeapp", 0);
    SetInt(0, "unresponsetime", 5);
    SetInt(0, "autoreboot", 0);
    SetText(0, "reboottime", "01:02:03");
    SetInt(0, "autostartmonitor", 0);
    return true;
}

// Moves the damaged file to "config.xml.bad-<stamp>" (with a number added when
// that name is taken), or copies it when it cannot be moved.
bool CConfig::KeepDamagedFile()
{
    CStrW stamp = Utc8FileStamp();
    for (int attempt = 0; attempt < 100; ++attempt) {
        CStrW kept;
        if (attempt == 0)
            kept.Format(L"%s.bad-%s", m_widePath.c_str(), stamp.c_str());
        else
            kept.Format(L"%s.bad-%s-%d", m_widePath.c_str(), stamp.c_str(), attempt);
        if (kept.Length() >= kFormatBufferChars - 1)
            break;
        if (MoveFileExW(m_widePath.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH) ||
            CopyFileW(m_widePath.c_str(), kept.c_str(), TRUE)) {
            m_keptPath = kept;
            m_damagedFileUnkept = false;
            TraceFormat(kTraceTag, L"无法读取配置文件, 原文件已另存为 %s", kept.c_str());
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    m_damagedFileUnkept = !FileIsMissing(m_widePath);
    Trace(kTraceTag, L"无法读取配置文件, 也无法另存原文件, 暂不覆盖");
    return !m_damagedFileUnkept;
}

TiXmlElement* CConfig::Root() const
{
    return const_cast<TiXmlDocument&>(m_document).RootElement();
}

TiXmlNode* CConfig::FindNode(const char* path) const
{
    if (!path)
        return nullptr;
    TiXmlNode* node = nullptr;
    bool first = true;
    const char* p = path;
    while (*p) {
        const char* slash = strchr(p, '/');
        size_t length = slash ? static_cast<size_t>(slash - p) : strlen(p);
        if (length > 0) {
            char component[128] = {0};
            if (length >= sizeof(component))
                return nullptr;
            memcpy(component, p, length);
            if (first) {
                TiXmlElement* root = Root();
                if (!root || (strcmp(component, "@1") != 0 && strcmp(component, root->Value()) != 0))
                    return nullptr;
                node = root;
                first = false;
            } else if (component[0] == '@') {
                long long n = atoll(component + 1);
                TiXmlNode* child = node->FirstChild();
                for (long long i = 1; child && i < n; ++i)
                    child = child->NextSibling();
                node = child;
            } else {
                node = node->FirstChild(component);
            }
            if (!node)
                return nullptr;
        }
        if (!slash)
            break;
        p = slash + 1;
    }
    return node;
}

TiXmlElement* CConfig::Entry(size_t index) const
{
    TiXmlElement* root = Root();
    if (index == 0 || !root)
        return root;
    size_t n = 0;
    for (TiXmlElement* e = root->FirstChildElement(kEntryName); e; e = e->NextSiblingElement(kEntryName)) {
        if (++n == index)
            return e;
    }
    return nullptr;
}

CStrA CConfig::GetText(size_t index, const char* key, const CStrA& fallback) const
{
    TiXmlElement* element = Entry(index);
    if (element && key) {
        for (const TiXmlAttribute* a = element->FirstAttribute(); a; a = a->Next()) {
            if (strcmp(a->Name(), key) != 0)
                continue;
            if (a->Value() && a->Value()[0])
                return CStrA(a->Value());
            break;
        }
    }
    return fallback;
}

long long CConfig::GetInt(size_t index, const char* key, int fallback) const
{
    CStrA text;
    text.Format("%d", fallback);
    return atoll(GetText(index, key, text).c_str());
}

bool CConfig::SetText(size_t index, const char* key, const char* value)
{
    TiXmlElement* root = Root();
    if (!root || !key)
        return false;
    size_t count = EntryCount();
    if (index >= 1 && count < index) {
        // After the last entry, so that a comment closing the list stays last.
        TiXmlElement entry(kEntryName);
        if (count > 0)
            root->InsertAfterChild(Entry(count), entry);
        else
            root->InsertEndChild(entry);
    }
    TiXmlElement* element = Entry(index);
    if (!element)
        return false;
    element->SetAttribute(key, value ? value : "");
    return true;
}

bool CConfig::SetInt(size_t index, const char* key, long long value)
{
    CStrA text;
    text.Format("%lld", value);
    return SetText(index, key, text);
}

bool CConfig::RemoveEntry(size_t index)
{
    TiXmlElement* root = Root();
    TiXmlElement* entry = index >= 1 ? Entry(index) : nullptr;
    return root && entry && root->RemoveChild(entry);
}

size_t CConfig::EntryCount() const
{
    TiXmlElement* root = Root();
    size_t count = 0;
    for (TiXmlElement* e = root ? root->FirstChildElement(kEntryName) : nullptr; e;
         e = e->NextSiblingElement(kEntryName))
        ++count;
    return count;
}

CStrA CConfig::FileText() const
{
    TiXmlPrinter printer;
    m_document.Accept(&printer);
    CStrW text = ToWide(CStrA(printer.CStr(), printer.Size()));
    CStrA bytes;
    const char* encoding = "gb2312";
    if (!ToCodePage936(text, &bytes)) {
        bytes = ToNarrow(text);
        encoding = "GB18030";
    }
    CStrA file;
    file.Reserve(bytes.Length() + bytes.Length() / 8 + 64);
    file.AppendChars("<?xml version=\"1.0\" encoding=\"", 0);
    file.AppendChars(encoding, 0);
    file.AppendChars("\" ?>\r\n", 0);
    AppendWithCrLf(file, bytes.c_str(), bytes.Length());
    return file;
}

bool CConfig::Save()
{
    if (m_path.IsEmpty() || m_widePath.IsEmpty())
        return false;
    if (m_damagedFileUnkept && !KeepDamagedFile())
        return false;
    // Windows refuses to replace a read-only file; Wine replaces it. A user
    // who made config.xml read-only wants it left alone, on both.
    DWORD attributes = GetFileAttributesW(m_widePath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    CStrW directory = DirectoryOf(m_widePath);
    wchar_t temporary[MAX_PATH + 1] = {0};
    if (directory.IsEmpty() || !GetTempFileNameW(directory.c_str(), L"cfg", 0, temporary))
        return false;
    CStrA text = FileText();
    FILE* file = _wfopen(temporary, L"wb");
    bool written = file && fwrite(text.c_str(), 1, text.Length(), file) == text.Length();
    if (file && !FlushAndClose(file))
        written = false;
    if (written && MoveFileExW(temporary, m_widePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(temporary);
    return false;
}

CStrW CConfig::GetRebootTime() const
{
    return ToWide(GetText(0, "reboottime", CStrA()));
}
CStrW CConfig::GetDailyCloseTime() const
{
    return ToWide(GetText(0, "timingclose_everyday_time", CStrA()));
}
CStrW CConfig::GetDailyRunTime() const
{
    return ToWide(GetText(0, "timingrun_everyday_time", CStrA()));
}

bool CConfig::SetDailyCloseTime(const CStrW& text)
{
    return SetText(0, "timingclose_everyday_time", ToNarrow(text));
}

bool CConfig::SetDailyRunTime(const CStrW& text)
{
    return SetText(0, "timingrun_everyday_time", ToNarrow(text));
}

} // namespace tw

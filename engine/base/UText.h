#pragma once
// Text helpers shared by the whole engine: line lists, stored-text decoding,
// fixed 256-byte text fields and small string operations.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// An ordered list of text lines (templates, mail texts, attachment lists...).
using TextList = std::vector<std::string>;

/// Splits text into lines: a line ends at CR LF, a lone CR or a lone LF; a NUL
/// ends the whole text. A line end at the very end adds no empty line; an empty
/// text gives no lines.
TextList SplitLines(std::string_view text);

/// Joins lines, every line (the last one included) ended by CR LF.
std::string JoinLinesCrLf(const TextList& lines);

/// Returns true when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

/// Text read from a stored file: kept as it is when it is valid UTF-8, else
/// taken as Windows-1252 (files from older Windows installations) and
/// converted to UTF-8. Never fails.
std::string DecodeStoredText(std::string_view bytes);

/// Cuts UTF-8 text to at most maxBytes bytes without splitting a character.
std::string CutUtf8(std::string_view text, std::size_t maxBytes);

/// Size of a fixed text field: one length byte and 255 text bytes.
inline constexpr std::size_t kFixedTextSize = 256;
inline constexpr std::size_t kFixedTextMax = 255;

/// Writes text into a 256-byte fixed field at p: the length byte, then the
/// text cut to 255 bytes at a character boundary. Bytes after the text are
/// left as they are (they carry no meaning).
void PutFixedText(std::uint8_t* p, std::string_view text);

/// Reads a 256-byte fixed field at p: the first <length byte> bytes, decoded
/// as stored text (UTF-8, else Windows-1252).
std::string GetFixedText(const std::uint8_t* p);

/// Little-endian 32-bit integers at explicit offsets.
void PutInt32LE(std::uint8_t* p, std::int32_t v);
std::int32_t GetInt32LE(const std::uint8_t* p);

/// ASCII-only lower-casing (A-Z), as used for names and file comparisons.
std::string LowerAscii(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix);

/// Replaces every occurrence of `from` by `to` in one left-to-right pass,
/// never looking again at inserted text. An empty `from` changes nothing.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

/// One kind of picture a project may attach as a logo: the file name ending
/// that marks it, its media type in a mail and the label of its group in the
/// picture dialog's filter.
struct ImageType {
  std::string_view extension;
  std::string_view mediaType;
  std::string_view filterLabel;
};

/// The picture kinds, in the order of the picture dialog's filter; endings
/// that share a label form one filter group.
inline constexpr ImageType kImageTypes[] = {
    {".gif", "image/gif", "CompuServe Gif"},
    {".jpg", "image/jpeg", "JPEG"},
    {".jpeg", "image/jpeg", "JPEG"},
    {".png", "image/png", "PNG"},
};

/// The picture kind of an image name, nullptr when the name is none.
const ImageType* FindImageType(std::string_view name);

/// Image name: at least five characters ending in one of the endings of
/// kImageTypes (".gif", ".jpg", ".jpeg", ".png"), compared without regard to
/// case.
bool IsImageName(std::string_view name);

/// The picture dialog's filter, one group per label of kImageTypes:
/// "CompuServe Gif (*.gif)|*.gif|JPEG (*.jpg, *.jpeg)|*.jpg;*.jpeg|PNG (*.png)|*.png".
std::string ImageFileFilter();

/// The file name without its directory (both '/' and '\' separate).
std::string ExtractFileName(std::string_view path);

/// Decimal integer conversion as the system reports it: surrounding blanks are
/// not allowed, an optional sign, hexadecimal with a leading '$' or "0x".
/// Throws EConvertError "'%s' ist kein gültiger Integerwert" on anything else.
int StrToInt(const std::string& text);

/// Like StrToInt but returns `fallback` instead of throwing.
int StrToIntDef(const std::string& text, int fallback);

/// True when the text holds a name that may be a plain file name in a single
/// directory: not empty, not "." or "..", no '/', '\' or NUL.
bool IsPlainFileName(std::string_view name);

/// The text with '&', '<' and '>' written as HTML entities, so that text
/// from outside (a request, the mail text) cannot add markup to a page.
std::string HtmlEscapeText(std::string_view text);

}  // namespace qm

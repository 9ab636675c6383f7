// Text encodings: the Script Manager's view of the system script, the Text
// Encoding Conversion Manager's Unicode converters, and Pascal strings.
//
// Conversions run on ICU. The Unicode side of a converter is UTF-16; with the
// canonical-decomposition variant it is decomposed as HFS+ stores names.
//
//   UnicodeMapping m = {CreateTextEncoding(kTextEncodingUnicodeV2_0,
//                                          kUnicodeCanonicalDecompVariant,
//                                          kUnicode16BitFormat),
//                       kTextEncodingMacRoman, kUnicodeUseHFSPlusMapping};
//   UnicodeToTextInfo info;
//   CreateUnicodeToTextInfo(&m, &info);
//   ConvertFromUnicodeToText(info, 2 * n, units, kUnicodeLooseMappingsMask, 0, nullptr,
//                            nullptr, nullptr, 31, &read, &len, out);
//   DisposeUnicodeToTextInfo(&info);
#pragma once
// The names in this header are the interface's, fixed: the naming rule of
// .clang-tidy is for the internal code.
// NOLINTBEGIN(readability-identifier-naming)

#include "vantrel/MacTypes.h"

VANTREL_EXTERN_C_BEGIN

typedef UInt32 TextEncodingBase;
typedef UInt32 TextEncodingVariant;
typedef UInt32 TextEncodingFormat;

enum {
    kTextEncodingMacRoman = 0,
    kTextEncodingMacJapanese = 1,
    kTextEncodingMacChineseTrad = 2,
    kTextEncodingMacKorean = 3,
    kTextEncodingMacArabic = 4,
    kTextEncodingMacHebrew = 5,
    kTextEncodingMacGreek = 6,
    kTextEncodingMacCyrillic = 7,
    kTextEncodingMacChineseSimp = 25,
    kTextEncodingMacCentralEurRoman = 29,
    kTextEncodingMacTurkish = 35,
    kTextEncodingMacCroatian = 36,
    kTextEncodingMacIcelandic = 37,
    kTextEncodingMacRomanian = 38,
    kTextEncodingMacUkrainian = 0x98,
    kTextEncodingUnicodeDefault = 0x0100,
    kTextEncodingUnicodeV2_0 = 0x0103,
    kTextEncodingISOLatin1 = 0x0201,
    kTextEncodingWindowsLatin1 = 0x0500,
    kTextEncodingUnknown = 0xFFFF
};
enum { kUnicodeNoSubset = 0, kUnicodeCanonicalDecompVariant = 2, kUnicodeCanonicalCompVariant = 3 };
enum { kUnicode16BitFormat = 0, kUnicodeUTF8Format = 2 };
enum { kUnicodeUseLatestMapping = -1, kUnicodeUseHFSPlusMapping = 4 };

// Control flags of the converters.
enum {
    kUnicodeUseFallbacksMask = 0x00000001,
    kUnicodeKeepInfoMask = 0x00000002,
    kUnicodeDirectionalityMask = 0x0000000C,
    kUnicodeVerticalFormMask = 0x00000010,
    kUnicodeLooseMappingsMask = 0x00000020,
    kUnicodeStringUnterminatedMask = 0x00000040,
    kUnicodeTextRunMask = 0x00000080
};

// Script Manager.
enum { smSystemScript = -1, smCurrentScript = -2, smAllScripts = -3 };
enum {
    smRoman = 0,
    smJapanese = 1,
    smTradChinese = 2,
    smKorean = 3,
    smArabic = 4,
    smHebrew = 5,
    smGreek = 6,
    smCyrillic = 7,
    smSimpChinese = 25,
    smCentralEuroRoman = 29
};
enum { smSysScript = 18, smRegionCode = 40, smKeyScript = 22 };
enum { kTextScriptDontCare = -128, kTextLanguageDontCare = -128, kTextRegionDontCare = -128 };
enum { verUS = 0, verFrance = 1, verBritain = 2, verGermany = 3, verItaly = 4, verJapan = 14 };

typedef struct UnicodeMapping {
    TextEncoding unicodeEncoding;
    TextEncoding otherEncoding;
    SInt32 mappingVersion;
} UnicodeMapping;
typedef UnicodeMapping* UnicodeMappingPtr;
typedef const UnicodeMapping* ConstUnicodeMappingPtr;

typedef struct OpaqueUnicodeToTextInfo* UnicodeToTextInfo;
typedef struct OpaqueTextToUnicodeInfo* TextToUnicodeInfo;

VANTREL_EXPORT TextEncoding CreateTextEncoding(TextEncodingBase encodingBase,
                                               TextEncodingVariant encodingVariant,
                                               TextEncodingFormat encodingFormat);
VANTREL_EXPORT TextEncodingBase GetTextEncodingBase(TextEncoding encoding);
VANTREL_EXPORT TextEncodingVariant GetTextEncodingVariant(TextEncoding encoding);
VANTREL_EXPORT TextEncodingFormat GetTextEncodingFormat(TextEncoding encoding);

// The system script and region follow the process's locale (LC_CTYPE for the
// script, the territory for the region); Mac Roman/US is the fall-back.
VANTREL_EXPORT long GetScriptManagerVariable(SInt16 selector);
// Combines a script, language and region into a text encoding; paramErr when
// the region does not fit the script, kTextUnsupportedEncodingErr when nothing
// matches.
VANTREL_EXPORT OSStatus UpgradeScriptInfoToTextEncoding(ScriptCode iTextScriptID,
                                                        LangCode iTextLanguageID,
                                                        RegionCode iRegionID,
                                                        ConstStr255Param iTextFontname,
                                                        TextEncoding* oEncoding);

VANTREL_EXPORT OSStatus CreateUnicodeToTextInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                                UnicodeToTextInfo* oUnicodeToTextInfo);
VANTREL_EXPORT OSStatus ConvertFromUnicodeToText(UnicodeToTextInfo iUnicodeToTextInfo,
                                                 ByteCount iUnicodeLen, const UniChar* iUnicodeStr,
                                                 OptionBits iControlFlags, ItemCount iOffsetCount,
                                                 const ByteOffset* iOffsetArray,
                                                 ItemCount* oOffsetCount, ByteOffset* oOffsetArray,
                                                 ByteCount iOutputBufLen, ByteCount* oInputRead,
                                                 ByteCount* oOutputLen, LogicalAddress oOutputStr);
VANTREL_EXPORT OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo* ioUnicodeToTextInfo);

VANTREL_EXPORT OSStatus CreateTextToUnicodeInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                                TextToUnicodeInfo* oTextToUnicodeInfo);
VANTREL_EXPORT OSStatus ConvertFromTextToUnicode(
    TextToUnicodeInfo iTextToUnicodeInfo, ByteCount iSourceLen, ConstLogicalAddress iSourceStr,
    OptionBits iControlFlags, ItemCount iOffsetCount, const ByteOffset* iOffsetArray,
    ItemCount* oOffsetCount, ByteOffset* oOffsetArray, ByteCount iOutputBufLen,
    ByteCount* oSourceRead, ByteCount* oUnicodeLen, UniChar* oUnicodeStr);
VANTREL_EXPORT OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo* ioTextToUnicodeInfo);

// Copies a Pascal string (length byte + bytes) into `dst` as a NUL-terminated
// string; `dst` needs room for 256 bytes. src and dst may be the same buffer.
VANTREL_EXPORT void CopyPascalStringToC(ConstStr255Param src, char* dst);
// The reverse: at most 255 bytes of `src` become a Pascal string in `dst`.
VANTREL_EXPORT void CopyCStringToPascal(const char* src, Str255 dst);

VANTREL_EXTERN_C_END
// NOLINTEND(readability-identifier-naming)

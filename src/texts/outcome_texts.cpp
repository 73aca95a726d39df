// The words for a conversion's outcome, and how they are laid out. On
// Windows this file is compiled to code page 932 bytes, as the window's and
// skconv's ANSI calls expect.
#include "outcome_texts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "file_system.h"
#include "path_rules.h"

namespace sk {

namespace {

// ---- Japanese, in the voice of Windows' own messages ----

const char kTryAgain[] = "もう一度 [編集] を押してください。";
const char kCheckDisk[] =
    "ディスクに空きがあり、ドライブがつながっているか確かめてから、もう一度 [編集] "
    "を押してください。";
const char kChooseAgain[] = "[参照] で変換するファイルを選び直してください。";
const char kAskOwner[] =
    "ファイルとフォルダーのアクセス許可を、ファイルの所有者かシステムの管理者に確かめて"
    "もらってください。";
const char kCloseOthers[] =
    "Excel などほかのプログラムでファイルを開いていれば閉じてから、もう一度 [編集] "
    "を押してください。";
const char kMayCreate[] =
    "フォルダーに書き込むアクセス許可とディスクの空きがあるか確かめてから、もう一度 [編集] "
    "を押してください。";

constexpr StepWords kJapaneseSteps[] = {
    {ConvertStep::kNone, "変換しました", nullptr, false},
    {ConvertStep::kNoFileName, "パスにファイル名がありません", kChooseAgain, false},
    {ConvertStep::kPathTooLong, "パスが長すぎるため、ファイルを開けませんでした",
     "ファイルを名前の短いフォルダーに移してから、[参照] で選び直してください。", false},
    {ConvertStep::kOpenInput, "ファイルを開けませんでした", kTryAgain, true},
    {ConvertStep::kInUse, "ほかのプログラムがファイルを使っているため、開けませんでした",
     kCloseOthers, false},
    {ConvertStep::kNotFound, "ファイルが見つかりませんでした",
     "ファイルの名前が変わったり、移動や削除されたりしていないか確かめ、[参照] "
     "で選び直してください。",
     false},
    {ConvertStep::kBadName, "ファイル名が正しくないため、ファイルを開けませんでした", kChooseAgain,
     false},
    {ConvertStep::kWriteProtected,
     "ディスクが書き込み禁止になっているため、ファイルを置き換えられません",
     "USB メモリや SD カードの書き込み禁止のスイッチを戻すか、ファイルを書き込めるドライブに"
     "コピーしてから、もう一度 [編集] を押してください。",
     false},
    {ConvertStep::kNoAccess, "ファイルを開くアクセス許可がありません", kAskOwner, false},
    {ConvertStep::kQueryInput, "ファイルの情報を読み取れませんでした",
     "ファイルがネットワーク上にあるときは、つながっているか確かめてから、もう一度 [編集] "
     "を押してください。",
     true},
    {ConvertStep::kOpenFolder, "ファイルのフォルダーを開けませんでした",
     "フォルダーが今もあるか確かめ、[参照] で選び直してください。", true},
    {ConvertStep::kIsFolder, "パスはフォルダーです。ファイルではありません", kChooseAgain, false},
    {ConvertStep::kIsLink,
     "パスはシンボリック リンクかジャンクションで、別の場所のファイルを指しています",
     "リンク先のファイルそのものを [参照] で選んでください。", false},
    {ConvertStep::kHardLinks,
     "ファイルには別の名前 (ハード リンク) もあります。変換すると、この名前だけが新しい内容になり、"
     "もう一方の名前とは内容が食い違います",
     "ファイルをコピーして、そのコピーを変換してください。", false},
    {ConvertStep::kNotAFile, "パスはファイルではなく、デバイスかパイプです", kChooseAgain, false},
    {ConvertStep::kReadOnly, "ファイルは読み取り専用です",
     "エクスプローラーでファイルを右クリックして [プロパティ] を開き、[読み取り専用] "
     "のチェックを外してから、もう一度 [編集] を押してください。",
     false},
    {ConvertStep::kMayNotReplace,
     "ファイルを読むことはできますが、このフォルダーでファイルを置き換える (削除する) "
     "アクセス許可がありません",
     "ファイルとフォルダーのアクセス許可を、ファイルの所有者かシステムの管理者に確かめて"
     "もらってください。[コントロールされたフォルダー アクセス] "
     "で保護されたフォルダーなら、Windows セキュリティの [ランサムウェア防止] "
     "でこのプログラムを許可してください。",
     false},
    {ConvertStep::kMayNotWrite,
     "ファイルを読むことはできますが、書き込むアクセス許可がないため、置き換えられません",
     kAskOwner, false},
    {ConvertStep::kNotText, nullptr, nullptr, false},  // the format's own words
    {ConvertStep::kOffline, "ファイルはオンラインにだけあり、ダウンロードできませんでした",
     "インターネットにつながっているか確かめ、エクスプローラーでファイルを右クリックして "
     "[このデバイス上に常に保持する] を選んでから、もう一度 [編集] を押してください。",
     true},
    {ConvertStep::kWorkFileExists, "フォルダーに workfile.txt がすでにあります",
     "workfile.txt は前の変換が途中で止まったときの残りか、ほかの人のファイルかもしれません。"
     "中身を確かめ、要らなければ削除してから、もう一度 [編集] を押してください。",
     false},
    {ConvertStep::kProtectedFolder,
     "フォルダーが [コントロールされたフォルダー アクセス] "
     "で保護されているため、workfile.txt を作れませんでした",
     "Windows セキュリティの [ランサムウェア防止] でこのプログラムを許可するか、"
     "ファイルを保護されていないフォルダーにコピーしてから変換してください。",
     false},
    {ConvertStep::kCreateWork, "workfile.txt を作れませんでした", kMayCreate, true},
    {ConvertStep::kRead, "ファイルを読み取れませんでした",
     "ファイルがネットワークのフォルダーや USB メモリにあるときは、つながっているか確かめてから、"
     "もう一度 [編集] を押してください。",
     true},
    {ConvertStep::kWrite, "workfile.txt に書き込めませんでした", kCheckDisk, true},
    {ConvertStep::kTooManyLines, "ファイルの行が多すぎるため、番号を付けられませんでした",
     "番号は 20 けたまでです。ファイルの中身を確かめてください。", false},
    {ConvertStep::kFlushWork, "workfile.txt をディスクに書き込めませんでした", kCheckDisk, true},
    {ConvertStep::kCloseWork, "workfile.txt を閉じられませんでした", kCheckDisk, true},
    {ConvertStep::kCopyAccess,
     "workfile.txt にファイルの所有者、アクセス許可、属性を付けられませんでした",
     "ファイルの所有者かシステムの管理者に相談してください。", true},
    {ConvertStep::kChanged, "変換中に、ほかのプログラムがファイルを変更したか、置き換えました",
     "ファイルはそのプログラムが変えたままです。その作業が終わってから、もう一度 [編集] "
     "を押してください。",
     false},
    {ConvertStep::kBackupExists, "フォルダーに workfile.bak がすでにあります",
     "workfile.bak は前の変換が途中で止まったときに、元の内容を預けたファイルかもしれません。"
     "中身を確かめ、元のファイルがなくなっていればその名前に戻し、要らなければ削除してから、"
     "もう一度 [編集] を押してください。",
     false},
    {ConvertStep::kCreateBackup, "workfile.bak を作れませんでした", kMayCreate, true},
    {ConvertStep::kReplace, "ファイルを workfile.txt で置き換えられませんでした", kCloseOthers,
     true},
    // After the replacement: the file is converted; what failed, and
    // whether anyone must act.
    {ConvertStep::kFlushFolder,
     "変換しましたが、フォルダーの変更をディスクに書き込めませんでした。すぐに停電すると、"
     "元の内容に戻ることがあります",
     "停電やコンピューターの強制終了がなければ、何もしなくてかまいません。", false},
    {ConvertStep::kRemoveBackup, "変換しましたが、元の内容が workfile.bak に残っています",
     "workfile.bak があると、このフォルダーでは次の変換ができません。"
     "要らなければ削除してください。",
     false},
    {ConvertStep::kMarkChanged,
     "変換しましたが、ファイルに変更の印 (アーカイブ属性) を付けられませんでした",
     "バックアップ ソフトがこの変更を見落とすことがあります。バックアップを取っているときは、"
     "このファイルを手動でバックアップしてください。",
     false},
    {ConvertStep::kRestoreSecurity,
     "変換しましたが、ファイルのアクセス許可を元どおりに戻せませんでした",
     "ファイルを開ける人は変換前より増えていません。フォルダーから引き継ぐアクセス許可が"
     "要るときは、システムの管理者に相談してください。",
     false},
};

const char kResave[] =
    "Excel で開いて [名前を付けて保存] で [ファイルの種類] を [CSV (コンマ区切り)] "
    "にして保存し、そのファイルを [参照] で選んでください。";
const char kNotThisFile[] = "変換するファイルを [参照] で選び直してください。";

constexpr FormatWords kJapaneseFormats[] = {
    {NonText::kZip, "ZIP 形式 (Excel のブック .xlsx などの形式)", kResave},
    {NonText::kCompound, "古い Office のファイル (.xls、.doc)", kResave},
    {NonText::kPdf, "PDF", kNotThisFile},
    {NonText::kUtf16, "Unicode テキスト (UTF-16)", kResave},
    {NonText::kUtf32, "Unicode テキスト (UTF-32)", kResave},
    {NonText::kJpeg, "JPEG の画像", kNotThisFile},
    {NonText::kPng, "PNG の画像", kNotThisFile},
    {NonText::kGif, "GIF の画像", kNotThisFile},
};

// ---- English, for skconv where the code page is not 932 ----

const char kEnTryAgain[] = "Try again.";
const char kEnAskOwner[] =
    "Ask the file's owner or an administrator about its permissions and its folder's.";
const char kEnCloseOthers[] =
    "Close the file in any program that has it open (Excel), then try again.";
const char kEnCheckDisk[] =
    "Check that the disk has room and the drive is connected, then try again.";
const char kEnMayCreate[] =
    "Check that you may write to the folder and that the disk has room, then try again.";

constexpr StepWords kEnglishSteps[] = {
    {ConvertStep::kNone, "converted", nullptr, false},
    {ConvertStep::kNoFileName, "the path names no file", nullptr, false},
    {ConvertStep::kPathTooLong, "the path is too long",
     "Move the file to a folder with a shorter name.", false},
    {ConvertStep::kOpenInput, "cannot open the file", kEnTryAgain, true},
    {ConvertStep::kInUse, "another program is using the file", kEnCloseOthers, false},
    {ConvertStep::kNotFound, "the file is not there",
     "Check whether it was renamed, moved or deleted.", false},
    {ConvertStep::kBadName, "the system does not take the file's name", nullptr, false},
    {ConvertStep::kWriteProtected, "the disk is write-protected",
     "Turn the write protection of the memory stick or card off, or copy the file to a drive you "
     "may "
     "write to.",
     false},
    {ConvertStep::kNoAccess, "you may not open the file", kEnAskOwner, false},
    {ConvertStep::kQueryInput, "cannot read the file's attributes", kEnTryAgain, true},
    {ConvertStep::kOpenFolder, "cannot open the file's folder", nullptr, true},
    {ConvertStep::kIsFolder, "the path names a folder, not a file", nullptr, false},
    {ConvertStep::kIsLink,
     "the path names a symbolic link or junction that leads to another file; convert the file it "
     "leads to",
     nullptr, false},
    {ConvertStep::kHardLinks,
     "the file has another name as well (a hard link), which would keep the old text",
     "Convert a copy of the file.", false},
    {ConvertStep::kNotAFile, "the path names a device or pipe, not a file", nullptr, false},
    {ConvertStep::kReadOnly, "the file is read-only", "Clear its read-only attribute.", false},
    {ConvertStep::kMayNotReplace,
     "you may read the file but not replace or delete it in its folder",
     "Ask the file's owner or an administrator about its permissions and its folder's; in a folder "
     "protected by Controlled Folder Access, allow this program in Windows Security.",
     false},
    {ConvertStep::kMayNotWrite,
     "you may read the file but not write to it, which replacing it needs", kEnAskOwner, false},
    {ConvertStep::kNotText, nullptr, nullptr, false},
    {ConvertStep::kOffline, "the file is stored online only and could not be downloaded",
     "Connect to the internet and make the file available on this computer.", true},
    {ConvertStep::kWorkFileExists, "workfile.txt already exists in the file's folder",
     "It may be left from a conversion that stopped, or be somebody's file: look at it, and delete "
     "it "
     "if nobody needs it.",
     false},
    {ConvertStep::kProtectedFolder,
     "the folder is protected (Controlled Folder Access): workfile.txt cannot be created there",
     "Allow this program in Windows Security's ransomware protection, or convert a copy elsewhere.",
     false},
    {ConvertStep::kCreateWork, "cannot create workfile.txt", kEnMayCreate, true},
    {ConvertStep::kRead, "cannot read the file", kEnTryAgain, true},
    {ConvertStep::kWrite, "cannot write workfile.txt", kEnCheckDisk, true},
    {ConvertStep::kTooManyLines, "the file has too many lines for a key number of 20 digits",
     nullptr, false},
    {ConvertStep::kFlushWork, "cannot flush workfile.txt to disk", kEnCheckDisk, true},
    {ConvertStep::kCloseWork, "cannot close workfile.txt", kEnCheckDisk, true},
    {ConvertStep::kCopyAccess, "cannot give workfile.txt the file's owner and permissions", nullptr,
     true},
    {ConvertStep::kChanged, "another program changed or replaced the file during the conversion",
     "The file is as that program left it; try again once it is done.", false},
    {ConvertStep::kBackupExists, "workfile.bak already exists in the file's folder",
     "It may hold the old text of a conversion that stopped: look at it, give it back the file's "
     "name if the file is gone, else delete it.",
     false},
    {ConvertStep::kCreateBackup, "cannot create workfile.bak", kEnMayCreate, true},
    {ConvertStep::kReplace, "cannot replace the file with workfile.txt", kEnCloseOthers, true},
    {ConvertStep::kFlushFolder,
     "converted, but the folder could not be flushed to disk: a power cut now may bring back the "
     "old "
     "text",
     nullptr, false},
    {ConvertStep::kRemoveBackup,
     "converted, but the old text is left in workfile.bak, which stops the next conversion there",
     nullptr, false},
    {ConvertStep::kMarkChanged,
     "converted, but the file could not be marked as changed for backups (archive attribute)",
     nullptr, false},
    {ConvertStep::kRestoreSecurity,
     "converted, but the file's permissions could not be set back as they were (nobody can open it "
     "who could not before)",
     nullptr, false},
};

constexpr FormatWords kEnglishFormats[] = {
    {NonText::kZip, "a ZIP file (such as an .xlsx workbook)", nullptr},
    {NonText::kCompound, "an older Office file (.xls, .doc)", nullptr},
    {NonText::kPdf, "a PDF", nullptr},
    {NonText::kUtf16, "UTF-16 text", nullptr},
    {NonText::kUtf32, "UTF-32 text", nullptr},
    {NonText::kJpeg, "a JPEG image", nullptr},
    {NonText::kPng, "a PNG image", nullptr},
    {NonText::kGif, "a GIF image", nullptr},
};

// A step or format added needs its row, in its place.
template <size_t N>
constexpr bool OneRowPerStep(const StepWords (&rows)[N]) {
    if (N != static_cast<size_t>(kStepCount))
        return false;
    for (size_t i = 0; i < N; ++i) {
        if (static_cast<size_t>(rows[i].step) != i)
            return false;
    }
    return true;
}
template <size_t N>
constexpr bool OneRowPerFormat(const FormatWords (&rows)[N]) {
    if (N != static_cast<size_t>(NonText::kGif))
        return false;
    for (size_t i = 0; i < N; ++i) {
        if (static_cast<size_t>(rows[i].format) != i + 1)
            return false;
    }
    return true;
}
static_assert(OneRowPerStep(kJapaneseSteps) && OneRowPerStep(kEnglishSteps),
              "one row per step, in the order of sk::ConvertStep");
static_assert(OneRowPerFormat(kJapaneseFormats) && OneRowPerFormat(kEnglishFormats),
              "one row per format, in the order of sk::NonText");

}  // namespace

const OutcomeTexts kJapaneseOutcome = {
    kJapaneseSteps,
    kJapaneseFormats,
    "ファイルは %s で、このツールで変換できるシフト JIS のテキストではありません",
    "ファイルがまだ選ばれていません",
    "[参照] で変換するファイルを選んでから、[編集] を押してください。",
    "フォルダーに workfile.txt と workfile.bak がすでにあります",
    "前の変換が途中で止まったときの残りかもしれません。workfile.bak "
    "には元の内容が、workfile.txt には変換した内容が入っていることがあります。中身を確かめ、"
    "元のファイルがなくなっていれば workfile.bak をその名前に戻し、要らないファイルを削除してから、"
    "もう一度 [編集] を押してください。",
    "同じフォルダーの workfile.bak に、ファイルの元の内容が残っているかもしれません "
    "(前の変換が置き換えの途中で止まると、そうなります)。中身を確かめ、"
    "元のファイルの名前に戻してください。",
    "詳細: %s",
    "場所: %s",
    "%s を削除できませんでした",
    "残ったファイルはこの変換が作ったものなので、削除してから、もう一度 [編集] "
    "を押してください。",
    "ファイルの元の内容は %s にあります。名前を %s に戻してください。変換した内容は %s "
    "にあります",
    "%s 行のうち %s 行に番号を付けました%s",
    "%s 行のうち、番号を付けた行はありません",
    "%s の %s",
    "番号を付けた行のうち %s 行は、付けた番号で終わっていました。"
    "このファイルは前にも変換したかもしれません。変換は 1 回だけにしてください",
    " (",
    "、",
    " …",
    " 行目)",
    "。",
    "",
};

const OutcomeTexts kEnglishOutcome = {
    kEnglishSteps,
    kEnglishFormats,
    "the file is %s, not text",
    "no file has been chosen",
    nullptr,
    "workfile.txt and workfile.bak already exist in the file's folder",
    "They may be left from a conversion that stopped: workfile.bak may hold the old text, "
    "workfile.txt "
    "the converted one.",
    "workfile.bak beside it may hold the file's old text, left by a conversion that stopped during "
    "the replacement: give it back the file's name.",
    "%s",
    "%s",
    "%s could not be removed",
    nullptr,
    "the file's old text is in %s: rename it back to %s; the converted text is in %s",
    "lines: %s, given a key number: %s%s",
    "lines: %s, given a key number: 0",
    "%s: %s",
    "%s of the lines given a number ended in that very number already: the file may have been "
    "converted before",
    " (",
    ", ",
    ", ...",
    ")",
    ".",
    " ",
};

const char kBrowseFailed[] = "ファイルを選べませんでした。";
const char kBrowsePathTooLong[] =
    "選んだファイルのパスが長すぎます。このプログラムが扱えるパスは %u バイト (全角の文字は 1 "
    "文字 2 バイト) までです。ファイルを名前の短いフォルダーに移すか、名前を短くしてから、"
    "もう一度 [参照] で選んでください。";
const char kBrowseNameUnfit[] =
    "選んだファイルのパスに、このプログラムが扱えない文字 (アクセント記号の付いた文字、ハングル、"
    "絵文字、Mac で入力した波ダッシュなど) があります。そのままでは別のファイルを開いてしまうため、"
    "選べません。ファイルやフォルダーの名前からその文字を除いてから、もう一度 [参照] "
    "で選んでください。";
const char kBrowseError[] =
    "ファイルを選ぶ画面でエラーが起きました (エラー コード 0x%04lX)。もう一度 [参照] "
    "を押してください。";

// ---- laying out ----

namespace {

const StepWords* Row(const OutcomeTexts& texts, ConvertStep step) {
    const int i = static_cast<int>(step);
    return i >= 0 && i < kStepCount ? &texts.pSteps[i] : nullptr;
}

const FormatWords* FormatRow(const OutcomeTexts& texts, NonText format) {
    const int i = static_cast<int>(format) - 1;
    return i >= 0 && i < static_cast<int>(NonText::kGif) ? &texts.pFormats[i] : nullptr;
}

// n with a comma between each group of three digits: 1,234,567.
void GroupedNumber(unsigned long long n, char* psz, size_t cch) {
    char szDigits[24];
    const int cDigits = std::snprintf(szDigits, sizeof szDigits, "%llu", n);
    size_t j = 0;
    for (int i = 0; i < cDigits && j + 2 < cch; ++i) {
        if (i != 0 && (cDigits - i) % 3 == 0)
            psz[j++] = ',';
        psz[j++] = szDigits[i];
    }
    psz[j] = '\0';
}

// The full path of a file named pszName in the folder of pszPath.
void PathBeside(const char* pszPath, const char* pszName, char* psz, size_t cch) {
    const size_t cchFolder = FolderLength(pszPath, NativePathRules());
    psz[0] = '\0';
    AppendFormat(psz, cch, "%.*s%s", static_cast<int>(cchFolder), pszPath, pszName);
}

// A failure's reason and advice, as the box and the line share them.
struct Told {
    char szReason[512];
    const char* pszRemedy;
    bool bDetail;
};

void TellFailure(const OutcomeTexts& texts, const SearchKeyConverter& conv, Layout layout,
                 Told* pTold) {
    const ConvertStep step = conv.FailedStep();
    const StepWords* pRow = Row(texts, step);
    pTold->szReason[0] = '\0';
    pTold->pszRemedy = pRow != nullptr ? pRow->pszRemedy : nullptr;
    pTold->bDetail = pRow != nullptr && pRow->bDetail && conv.FailedError() != 0;
    const char* pszReason = pRow != nullptr ? pRow->pszReason : "";
    // In the window a folder or a name without a file is the path before
    // any file was chosen: the dialog chooses only files.
    if (layout == Layout::kBox &&
        (step == ConvertStep::kIsFolder || step == ConvertStep::kNoFileName)) {
        pszReason = texts.pszNoFileChosen;
        pTold->pszRemedy = texts.pszNoFileChosenRemedy;
    } else if (step == ConvertStep::kWorkFileExists && conv.BackupInTheWay()) {
        pszReason = texts.pszBothInTheWay;
        pTold->pszRemedy = texts.pszBothInTheWayRemedy;
    } else if (step == ConvertStep::kNotFound && conv.BackupInTheWay()) {
        pTold->pszRemedy = texts.pszOldTextMaybeLeft;
    }
    if (step == ConvertStep::kNotText) {
        const FormatWords* pFormat = FormatRow(texts, conv.NotTextFormat());
        AppendFormat(pTold->szReason, sizeof pTold->szReason, texts.pszNotText,
                     pFormat != nullptr ? pFormat->pszName : "");
        pTold->pszRemedy = pFormat != nullptr ? pFormat->pszRemedy : nullptr;
        return;
    }
    AppendWhole(pTold->szReason, sizeof pTold->szReason, pszReason);
}

// The pass's own files it left, or where the old text is: in the box one
// sentence each, on the line in parentheses.
void AddLeft(const OutcomeTexts& texts, const SearchKeyConverter& conv, const char* pszPath,
             Layout layout, char* psz, size_t cch) {
    const bool bBox = layout == Layout::kBox;
    char szBak[600];
    char szWork[600];
    PathBeside(pszPath, "workfile.bak", szBak, sizeof szBak);
    PathBeside(pszPath, "workfile.txt", szWork, sizeof szWork);
    const char* pszBak = bBox ? szBak : "workfile.bak";
    const char* pszWork = bBox ? szWork : "workfile.txt";
    const char* pszOpen = bBox ? "\n" : " (";
    const char* pszClose = bBox ? texts.pszStop : ")";
    if (conv.OriginalStranded()) {
        const char* pszName = pszPath + FolderLength(pszPath, NativePathRules());
        AppendWhole(psz, cch, pszOpen);
        AppendFormat(psz, cch, texts.pszStranded, pszBak, pszName, pszWork);
        AppendWhole(psz, cch, pszClose);
        return;
    }
    const char* const apszLeft[] = {conv.WorkFileLeft() ? pszWork : nullptr,
                                    conv.BackupLeft() ? pszBak : nullptr};
    for (const char* pszLeft : apszLeft) {
        if (pszLeft == nullptr)
            continue;
        AppendWhole(psz, cch, pszOpen);
        AppendFormat(psz, cch, texts.pszLeft, pszLeft);
        AppendWhole(psz, cch, pszClose);
    }
    if (bBox && (conv.WorkFileLeft() || conv.BackupLeft()) && texts.pszLeftRemedy != nullptr) {
        AppendWhole(psz, cch, "\n");
        AppendWhole(psz, cch, texts.pszLeftRemedy);
    }
}

void DescribeFailure(const OutcomeTexts& texts, const SearchKeyConverter& conv, const char* pszPath,
                     Layout layout, char* psz, size_t cch) {
    const bool bBox = layout == Layout::kBox;
    Told told;
    TellFailure(texts, conv, layout, &told);
    AppendWhole(psz, cch, told.szReason);
    if (bBox)
        AppendWhole(psz, cch, texts.pszStop);
    if (told.bDetail) {
        char szSystem[256] = "";
        fs::FormatError(conv.FailedError(), szSystem, sizeof szSystem);
        AppendWhole(psz, cch, bBox ? "\n" : ": ");
        AppendFormat(psz, cch, texts.pszDetail, szSystem);
    }
    // Somebody's files in the way: where they are, so that they can be looked at.
    const ConvertStep step = conv.FailedStep();
    const bool bWork = step == ConvertStep::kWorkFileExists;
    const bool bBak = step == ConvertStep::kBackupExists || (bWork && conv.BackupInTheWay());
    const char* const apszInTheWay[] = {bWork ? "workfile.txt" : nullptr,
                                        bBak ? "workfile.bak" : nullptr};
    for (const char* pszName : apszInTheWay) {
        if (bBox && pszName != nullptr) {
            char szPlace[600];
            PathBeside(pszPath, pszName, szPlace, sizeof szPlace);
            AppendWhole(psz, cch, "\n");
            AppendFormat(psz, cch, texts.pszPlace, szPlace);
        }
    }
    if (bBox)
        AppendWhole(psz, cch, "\n");
    AddLeft(texts, conv, pszPath, layout, psz, cch);
    // Where the old text is, giving it back comes before all else.
    if (bBox && !conv.OriginalStranded() && told.pszRemedy != nullptr) {
        AppendWhole(psz, cch, "\n");
        AppendWhole(psz, cch, told.pszRemedy);
    }
}

}  // namespace

const char* ReasonText(const OutcomeTexts& texts, ConvertStep step) {
    const StepWords* pRow = Row(texts, step);
    return pRow != nullptr && pRow->pszReason != nullptr ? pRow->pszReason : "";
}

void DescribeOutcome(const OutcomeTexts& texts, const SearchKeyConverter& conv, const char* pszPath,
                     Layout layout, char* psz, size_t cch) {
    if (cch == 0)
        return;
    psz[0] = '\0';
    if (conv.FailedStep() != ConvertStep::kNone) {
        DescribeFailure(texts, conv, pszPath, layout, psz, cch);
        return;
    }
    char szLines[256];
    LinesText(texts, conv.Lines(), szLines, sizeof szLines);
    if (layout == Layout::kLine) {
        AppendWhole(psz, cch, szLines);
        return;
    }
    AppendFormat(psz, cch, texts.pszOfFile, pszPath + FolderLength(pszPath, NativePathRules()),
                 szLines);
    AppendWhole(psz, cch, texts.pszStop);
    char szWarning[1024];
    DescribeWarning(texts, conv, Layout::kBox, szWarning, sizeof szWarning);
    if (szWarning[0] != '\0') {
        AppendWhole(psz, cch, "\n");
        AppendWhole(psz, cch, szWarning);
    }
}

void DescribeWarning(const OutcomeTexts& texts, const SearchKeyConverter& conv, Layout layout,
                     char* psz, size_t cch) {
    psz[0] = '\0';
    const LineCounts& lines = conv.Lines();
    if (lines.ullRenumbered != 0) {
        char szCount[32];
        GroupedNumber(lines.ullRenumbered, szCount, sizeof szCount);
        AppendFormat(psz, cch, texts.pszConvertedBefore, szCount);
        AppendWhole(psz, cch, texts.pszStop);
    }
    const StepWords* pRow = Row(texts, conv.WarningStep());
    if (conv.WarningStep() == ConvertStep::kNone || pRow == nullptr)
        return;
    if (psz[0] != '\0')
        AppendWhole(psz, cch, layout == Layout::kBox ? "\n" : texts.pszBetween);
    AppendWhole(psz, cch, pRow->pszReason);
    // The line gives the system's words, the box what to do.
    if (layout == Layout::kLine && conv.WarningError() != 0) {
        char szSystem[256] = "";
        fs::FormatError(conv.WarningError(), szSystem, sizeof szSystem);
        AppendFormat(psz, cch, ": %s", szSystem);
    }
    AppendWhole(psz, cch, texts.pszStop);
    if (layout == Layout::kBox && pRow->pszRemedy != nullptr) {
        AppendWhole(psz, cch, texts.pszBetween);
        AppendWhole(psz, cch, pRow->pszRemedy);
    }
}

void AppendWhole(char* psz, size_t cch, const char* pszMore) {
    size_t n = std::strlen(psz);
    bool (*const pfnIsLead)(unsigned char) = NativePathRules().pfnIsLeadByte;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszMore);
    while (*p != '\0') {
        const size_t cb = pfnIsLead(*p) ? 2 : 1;
        if (cb == 2 && p[1] == '\0')
            break;  // half a character, from a text cut short before
        if (n + cb >= cch)
            break;
        std::memcpy(psz + n, p, cb);
        n += cb;
        p += cb;
    }
    psz[n] = '\0';
}

void AppendFormat(char* psz, size_t cch, const char* pszFormat, ...) {
    char szPiece[1024];
    va_list args;
    va_start(args, pszFormat);
    const int n = std::vsnprintf(szPiece, sizeof szPiece, pszFormat, args);
    va_end(args);
    if (n >= 0)
        AppendWhole(psz, cch, szPiece);
}

void FirstLinesText(const OutcomeTexts& texts, const LineCounts& lines, char* psz, size_t cch) {
    if (cch == 0)
        return;
    psz[0] = '\0';
    if (lines.ullNumbered == 0)
        return;
    AppendWhole(psz, cch, texts.pszListOpen);
    for (unsigned long long i = 0; i < lines.ullNumbered && i < LineCounts::kListed; ++i) {
        if (i != 0)
            AppendWhole(psz, cch, texts.pszListSeparator);
        AppendFormat(psz, cch, "%llu", lines.aullFirst[i]);
    }
    if (lines.ullNumbered > LineCounts::kListed)
        AppendWhole(psz, cch, texts.pszListMore);
    AppendWhole(psz, cch, texts.pszListClose);
}

void LinesText(const OutcomeTexts& texts, const LineCounts& lines, char* psz, size_t cch) {
    if (cch == 0)
        return;
    psz[0] = '\0';
    char szLines[32];
    GroupedNumber(lines.ullLines, szLines, sizeof szLines);
    if (lines.ullNumbered == 0) {
        AppendFormat(psz, cch, texts.pszNoneCounted, szLines);
        return;
    }
    char szNumbered[32];
    char szList[128];
    GroupedNumber(lines.ullNumbered, szNumbered, sizeof szNumbered);
    FirstLinesText(texts, lines, szList, sizeof szList);
    AppendFormat(psz, cch, texts.pszCounted, szLines, szNumbered, szList);
}

}  // namespace sk

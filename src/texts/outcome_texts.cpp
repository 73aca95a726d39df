// The words for a conversion's outcome. On Windows this file is compiled to
// code page 932 bytes, as the window's and skconv's ANSI calls expect.
#include "outcome_texts.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "path_rules.h"

namespace sk {

namespace {

// Advice shared by the steps that write to the disk.
const char kCheckDisk[] =
    "ディスクに空きがあり、ドライブがつながっているか確かめてから、もう一度 編集 "
    "を押してください。";
const char kChooseFile[] = "参照 で変換するファイルを選んでから、編集 を押してください。";

constexpr StepWords kJapaneseSteps[] = {
    {ConvertStep::kNone, "変換しました", nullptr},
    {ConvertStep::kNoFileName, "パスにファイル名がありません", kChooseFile},
    {ConvertStep::kPathTooLong, "パスが長すぎます",
     "ファイルを名前の短いフォルダーに移してから、参照 で選び直してください。"},
    {ConvertStep::kOpenInput, "ファイルを開けません",
     "ファイルが今もそのフォルダーにあるか確かめ、Excel "
     "などほかのプログラムで開いていれば閉じてから、もう一度 編集 を押してください。"},
    {ConvertStep::kQueryInput, "ファイルの属性を読めません",
     "ファイルが今もそのフォルダーにあるか確かめてから、もう一度 編集 を押してください。"},
    {ConvertStep::kOpenFolder, "ファイルのフォルダーを開けません",
     "フォルダーが今もあり、開く権限があるか確かめてから、もう一度 編集 を押してください。"},
    {ConvertStep::kIsFolder, "パスはフォルダーです。ファイルではありません", kChooseFile},
    {ConvertStep::kIsLink,
     "パスはリンク (シンボリック リンク、ジャンクションなどの再解析ポイント) です。"
     "リンク先のファイルを変換してください",
     "参照 でリンク先のファイルそのものを選んでください。"},
    {ConvertStep::kHardLinks,
     "ファイルに名前が複数あります (ハード リンク)。変換すると、この名前だけが新しい内容になり、"
     "ほかの名前とは内容が食い違ってしまいます",
     "ファイルをコピーして、そのコピーを変換してください。"},
    {ConvertStep::kNotAFile, "パスはデバイスかパイプです。ファイルではありません", kChooseFile},
    {ConvertStep::kReadOnly, "ファイルは読み取り専用です",
     "エクスプローラーでファイルを右クリックして プロパティ "
     "を開き、「読み取り専用」のチェックを外してから、もう一度 編集 を押してください。"},
    {ConvertStep::kMayNotReplace,
     "ファイルを読むことはできますが、ここで置き換える (削除する) 権限がありません",
     "ファイルとフォルダーのアクセス許可 (変更の権限) を持ち主か管理者に確かめてもらうか、"
     "「コントロールされたフォルダー "
     "アクセス」で守られたフォルダーならこのプログラムを許可してから、"
     "もう一度 編集 を押してください。"},
    {ConvertStep::kMayNotWrite,
     "ファイルを読むことはできますが、書き換える権限 (書き込みのアクセス許可) がありません",
     "ファイルのアクセス許可を所有者か管理者に確かめてもらってから、もう一度 編集 "
     "を押してください。"},
    {ConvertStep::kNotText,
     "ファイルは、このツールで変換できるシフト JIS のテキストではありません。始まりが ZIP "
     "(.xlsx、.docx など)、古い Office のファイル (.xls、.doc)、PDF、UTF-16 か UTF-32 "
     "のテキスト (Unicode テキスト)、PNG・GIF・JPEG の画像のものです",
     "Excel のブックや Unicode テキストなら、Excel "
     "で開いて「名前を付けて保存」で「ファイルの種類」を"
     "「CSV (コンマ区切り)」にして保存し、そのファイルを 参照 で選んでください。"},
    {ConvertStep::kOffline,
     "ファイルはオンラインにだけあり、ダウンロードできませんでした。"
     "先にこのコンピューターで使えるようにしてください",
     "インターネットにつながっているか確かめ、エクスプローラーでファイルを右クリックして"
     "「このデバイス上に常に保持する」を選んでから、もう一度 編集 を押してください。"},
    {ConvertStep::kWorkFileExists, "フォルダーに workfile.txt がすでにあります",
     "workfile.txt は前の変換が途中で止まったときの残りかもしれないので、中身を確かめ、"
     "要らなければ削除してから、もう一度 編集 を押してください。"},
    {ConvertStep::kProtectedFolder,
     "フォルダーは「コントロールされたフォルダー アクセス」で守られていて、"
     "このプログラムはそこにファイルを作れません",
     "Windows セキュリティの「ランサムウェア防止」でこのプログラムを許可してから、もう一度 編集 "
     "を押してください。"},
    {ConvertStep::kCreateWork, "workfile.txt を作れません",
     "フォルダーに書き込む権限とディスクの空きがあるか確かめてから、もう一度 編集 "
     "を押してください。"},
    {ConvertStep::kRead, "ファイルを読めません",
     "ファイルがネットワークのフォルダーや USB "
     "メモリーにあるときはつながっているか確かめてから、もう一度 編集 を押してください。"},
    {ConvertStep::kWrite, "workfile.txt に書けません", kCheckDisk},
    {ConvertStep::kTooManyLines, "ファイルの行が多すぎます",
     "ファイルを分けて、それぞれを変換してください。"},
    {ConvertStep::kFlushWork, "workfile.txt をディスクに書き出せません", kCheckDisk},
    {ConvertStep::kCloseWork, "workfile.txt を閉じられません", kCheckDisk},
    {ConvertStep::kCopyAccess,
     "workfile.txt にファイルの所有者、アクセス許可と属性を付けられません",
     "ファイルのアクセス許可を変える権限がないかもしれないので、ファイルの所有者か"
     "システムの管理者に相談してください。"},
    {ConvertStep::kChanged, "変換中にほかのプログラムがファイルを変更したか、置き換えました",
     "ファイルを使っているプログラムの作業が終わってから、もう一度 編集 を押してください。"},
    {ConvertStep::kBackupExists, "フォルダーに workfile.bak がすでにあります",
     "workfile.bak は前の変換で元の内容を預けたファイルかもしれないので、中身を確かめ、"
     "元のファイルがなくなっていればその名前に戻し、要らなければ削除してから、もう一度 編集 "
     "を押してください。"},
    {ConvertStep::kCreateBackup, "workfile.bak を作れません",
     "フォルダーに書き込む権限とディスクの空きがあるか確かめてから、もう一度 編集 "
     "を押してください。"},
    {ConvertStep::kReplace, "ファイルを workfile.txt で置き換えられません",
     "Excel などほかのプログラムでファイルを開いていれば閉じてから、もう一度 編集 "
     "を押してください。"},
    // After the conversion: the file is converted, and the success box
    // says what failed, nothing more.
    {ConvertStep::kFlushFolder,
     "変換しましたが、フォルダーをディスクに書き出せませんでした。"
     "今停電すると元の内容に戻ることがあります",
     nullptr},
    {ConvertStep::kRemoveBackup, "変換しましたが、元の内容が workfile.bak に残っています", nullptr},
    {ConvertStep::kMarkChanged,
     "変換しましたが、ファイルに変更の印 (アーカイブ属性) を付けられませんでした", nullptr},
    {ConvertStep::kRestoreSecurity,
     "変換しましたが、ファイルのアクセス許可を元どおりに戻せませんでした", nullptr},
};

// A step added to ConvertStep needs its row here, in its place.
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
static_assert(OneRowPerStep(kJapaneseSteps), "one row per step, in the order of sk::ConvertStep");

const StepWords* Row(const OutcomeTexts& texts, ConvertStep step) {
    const int i = static_cast<int>(step);
    return texts.pSteps != nullptr && i >= 0 && i < kStepCount ? &texts.pSteps[i] : nullptr;
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

}  // namespace

const OutcomeTexts kEnglishOutcome = {
    nullptr,
    "%s could not be removed",
    "the file's old text is now named %s: rename it back to %s",
    "lines: %s, given a key number: %s%s",
    "lines: %s, given a key number: 0",
    " (",
    ", ",
    ", ...",
    ")",
};

const OutcomeTexts kJapaneseOutcome = {
    kJapaneseSteps,
    "%s を削除できませんでした",
    "ファイルの元の内容は %s という名前になっています。名前を %s に戻してください",
    "%s 行のうち %s 行に番号を付けました%s",
    "%s 行のうち、番号を付けた行はありません",
    " (",
    "、",
    " …",
    " 行目)",
};

const char kWindowDetail[] = "詳細: %s";
const char kWindowPlace[] = "場所: %s";
const char kWindowLeftRemedy[] =
    "残ったファイルはこの変換が作ったものなので、削除してから、もう一度 編集 を押してください。";
const char kBrowseFailed[] = "ファイルを選べませんでした。";
const char kBrowsePathTooLong[] =
    "選んだファイルのパスが長すぎます。このプログラムが扱えるパスは %u バイト (全角の文字は 1 "
    "文字 2 バイト) までです。ファイルを名前の短いフォルダーに移すか、名前を短くしてから、"
    "もう一度 参照 で選んでください。";
const char kBrowseError[] =
    "ファイルを選ぶ画面でエラーが起きました (エラー コード 0x%04lX)。もう一度 参照 "
    "を押してください。";

const char* ReasonText(const OutcomeTexts& texts, ConvertStep step) {
    const StepWords* pRow = Row(texts, step);
    return pRow != nullptr ? pRow->pszReason : StepText(step);
}

const char* RemedyText(const OutcomeTexts& texts, ConvertStep step) {
    const StepWords* pRow = Row(texts, step);
    return pRow != nullptr ? pRow->pszRemedy : nullptr;
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

// skconv's texts. On Windows this file is compiled to code page 932 bytes.
#include "cli_texts.h"

namespace cli {

const Texts kEnglish = {
    "usage: skconv [--check] [--] PATH...\n"
    "       skconv -\n"
    "Appends the key number (100 for the first line, 101 for the second ...)\n"
    "to every line whose last field is empty or reads as zero, in each file in\n"
    "turn, and puts the result in the file's place. A file that fails is left\n"
    "exactly as it was. A file named twice, in any spelling, is converted once.\n"
    "On Windows, * and ? in a file name match files, taken in name order:\n"
    "* any run of characters, ? exactly one; only long names are matched.\n"
    "\n"
    "  --check    convert nothing: print for each file how many lines would get\n"
    "             a key number, and the first of those line numbers\n"
    "  -          convert standard input to standard output\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "  --         end of options: every argument after it is a path\n"
    "\n"
    "Exit status:\n"
    "  0  every file was converted (--check: no line would get a number)\n"
    "  1  a file failed and is unchanged (--check: a line would get a number,\n"
    "     or a file could not be read)\n"
    "  2  usage error: nothing was done\n"
    "  3  files were converted, but this report could not be written:\n"
    "     do not convert them again\n",
    "usage: skconv [--check] [--] PATH...  or  skconv -\n"
    "Try 'skconv --help'.\n",
    "skconv: unknown option: %s\n",
    "skconv: - (standard input) must be the only path\n",
    "skconv: --check cannot check standard input\n",
    "converted: %s: %s\n",
    "failed: %s: %s\n",
    "skipped: %s: the same file as %s\n",
    "failed: %s: cannot list the files: %s\n",
    "skconv: %s: the name has characters that code page %u cannot hold: nothing was done\n",
    "cannot tell whether another path names the same file",
    "%s: lines that would get a key number: %llu%s\n",
    "%s: the file is read-only: converting it would fail\n",
    "standard input",
    "standard output",
    "\r%3u%%",
    "\r%3u%% %7.1f MB/s",
    "warning: %s: %s\n",
    &sk::kEnglishOutcome,
};

const Texts kJapanese = {
    "使い方: skconv [--check] [--] パス...\n"
    "        skconv -\n"
    "各ファイルの最後の項目が空か 0 の行に、キー番号 (1 行目は 100、2 行目は\n"
    "101 ...) を付けて、ファイルを置き換えます。失敗したファイルは元のままです。\n"
    "同じファイルを二度指定しても (別の書き方でも)、変換は一度だけです。\n"
    "ファイル名の * と ? は一致するファイルを名前の順に表します。* は任意の文字の\n"
    "並び、? はちょうど 1 文字です (長い名前とだけ比べます)。\n"
    "\n"
    "  --check    変換しません。ファイルごとにキー番号が付く行の数と、\n"
    "             その最初の行番号を表示します\n"
    "  -          標準入力を変換して標準出力に書きます\n"
    "  --help     この説明を表示します\n"
    "  --version  バージョンを表示します\n"
    "  --         オプションの終わり: この後の引数はすべてパスです\n"
    "\n"
    "終了コード:\n"
    "  0  すべて変換しました (--check: 番号が付く行はありません)\n"
    "  1  失敗したファイルがあります。そのファイルは元のままです\n"
    "     (--check: 番号が付く行があるか、読めないファイルがあります)\n"
    "  2  使い方の誤り: 何もしていません\n"
    "  3  変換しましたが、この報告を書けませんでした。もう一度変換しないでください\n",
    "使い方: skconv [--check] [--] パス...  または  skconv -\n"
    "説明は 'skconv --help' で表示します。\n",
    "skconv: 不明なオプションです: %s\n",
    "skconv: - (標準入力) はほかのパスと一緒に指定できません\n",
    "skconv: --check では標準入力を確かめられません\n",
    "変換しました: %s: %s\n",
    "失敗しました: %s: %s\n",
    "飛ばしました: %s: %s と同じファイルです\n",
    "失敗しました: %s: ファイルの一覧を読めません: %s\n",
    "skconv: %s: 名前にコード ページ %u で表せない文字があります。何もしていません\n",
    "ほかのパスと同じファイルかどうかを確かめられません",
    "%s: キー番号が付く行: %llu%s\n",
    "%s: 読み取り専用のため、変換すると失敗します\n",
    "標準入力",
    "標準出力",
    "\r%3u%%",
    "\r%3u%% %7.1f MB/s",
    "注意: %s: %s\n",
    &sk::kJapaneseOutcome,
};

}  // namespace cli

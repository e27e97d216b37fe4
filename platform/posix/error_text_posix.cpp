// The system's texts for the Win32 codes a POSIX build can produce, in the
// language of the user's locale.
#include <clocale>

#include "platform/file_ops.h"
#include "platform/user_locale.h"

namespace {

struct ErrorText {
    uint32_t code;
    const char* english;
    const char* japanese;
};

const ErrorText ERROR_TEXTS[] = {
    {ERROR_SUCCESS, "The operation completed successfully.", "この操作を正しく終了しました。"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.", "ファンクションが間違っています。"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.", "指定されたファイルが見つかりません。"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.", "指定されたパスが見つかりません。"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.", "ファイルを開くことができません。"},
    {ERROR_ACCESS_DENIED, "Access is denied.", "アクセスが拒否されました。"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.", "ハンドルが無効です。"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.",
     "このコマンドを実行するのに十分な記憶域がありません。"},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format.",
     "間違った形式のプログラムを読み込もうとしました。"},
    {ERROR_INVALID_DATA, "The data is invalid.", "データが無効です。"},
    {ERROR_WRITE_PROTECT, "The media is write protected.", "メディアは書き込み禁止になっています。"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.",
     "システムは指定されたデバイスに書き込むことができません。"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.",
     "システムは指定されたデバイスから読み取ることができません。"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.",
     "システムに接続されたデバイスが機能していません。"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.",
     "プロセスはファイルにアクセスできません。別のプロセスが使用中です。"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file.",
     "プロセスはファイルにアクセスできません。別のプロセスがファイルの一部をロックしています。"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.", "ファイルの終わりに到達しました。"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.", "要求はサポートされていません。"},
    {ERROR_FILE_EXISTS, "The file exists.", "ファイルが存在します。"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.", "パラメーターが間違っています。"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.", "ディスクに十分な空き領域がありません。"},
    {ERROR_NEGATIVE_SEEK, "An attempt was made to move the file pointer before the beginning of the file.",
     "ファイル ポインターをファイルの先頭より前に移動しようとしました。"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.", "ディレクトリが空ではありません。"},
    {ERROR_BUSY, "The requested resource is in use.", "要求したリソースは使用中です。"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.",
     "既に存在するファイルを作成することはできません。"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.", "ファイル名または拡張子が長すぎます。"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.",
     "ファイル サイズが制限を超えているため保存できません。"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.",
     "I/O デバイス エラーが発生したため、要求を実行できませんでした。"},
    {ERROR_DIRECTORY, "The directory name is invalid.", "ディレクトリ名が無効です。"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.",
     "ファイル名を解決できません。"},
};

}  // namespace

// The locale in force for messages, as setlocale settled it from the
// environment (adoptUserLocale): a name like "ja_JP.UTF-8" counts only when
// that locale is installed, as it does for every other POSIX program.
bool userPrefersJapanese() { return isJapaneseLocaleName(std::setlocale(LC_MESSAGES, nullptr)); }

bool systemErrorText(uint32_t code, std::string* text) {
    text->clear();
    for (const ErrorText& entry : ERROR_TEXTS) {
        if (entry.code == code) {
            *text = userPrefersJapanese() ? entry.japanese : entry.english;
            return true;
        }
    }
    return false;
}

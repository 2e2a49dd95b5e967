// The verdict on a database restore from the client's end and its output file.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "restore/client_output.h"
#include "restore/restore_verdict.h"
#include "support/error.h"
#include "support/utf8_text.h"
#include "tests/unit/code_pages.h"

namespace qelrestore::test {
namespace {

// Output files in a map, read a few bytes at a time so that lines and UTF-16 units straddle reads.
// Console text is in `consoleCodePage`, the console's code page of a Windows client; UTF-8 is the
// POSIX form's.
class OutputFiles final : public InputFiles {
 public:
  std::map<std::wstring, std::string> files;
  const char* consoleCodePage = "UTF-8";

  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override {
    const auto found = files.find(path);
    if (found == files.end()) throw Error(code::kFileNotFound);
    return std::make_unique<BytesReader>(found->second);
  }
  std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) override {
    return OpenForInput(path);
  }
  std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) override {
    return OpenForInput(path);
  }
  std::wstring DecodeText(std::string_view bytes) override {
    return std::wstring(bytes.begin(), bytes.end());
  }
  std::wstring DecodeConsoleText(std::string_view bytes) override {
    if (std::string_view(consoleCodePage) == "UTF-8") return DecodeUtf8Escaping(bytes);
    const std::string wide = Convert(bytes, consoleCodePage, "WCHAR_T");
    return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()),
                        wide.size() / sizeof(wchar_t));
  }

 private:
  class BytesReader final : public Reader {
   public:
    explicit BytesReader(std::string bytes) : bytes_(std::move(bytes)) {}
    size_t Read(char* buffer, size_t size) override {
      const size_t count = std::min({size, bytes_.size() - at_, size_t{3}});
      std::memcpy(buffer, bytes_.data() + at_, count);
      at_ += count;
      return count;
    }

   private:
    std::string bytes_;
    size_t at_ = 0;
  };
};

std::string Utf16(std::string_view text) {
  std::string bytes = "\xFF\xFE";
  for (const char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

constexpr char kSuccess[] =
    "10 percent processed.\r\n100 percent processed.\r\n"
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).\r\n";
constexpr char kError[] =
    "Msg 3201, Level 16, State 2, Server QELHOST, Line 1\r\n\r\n"
    "Cannot open backup device 'C:\\bk\\QEL_PLUV.bak'.\r\n"
    "Msg 3013, Level 16, State 1, Server QELHOST, Line 1\r\n";
const std::wstring kOut = L"C:\\qel\\run.logsql";

LaunchResult Ended(LaunchResult::End end, int64_t code = 0) {
  LaunchResult launch;
  launch.end = end;
  launch.code = code;
  return launch;
}

LaunchResult Exited(int64_t status) {
  return Ended(LaunchResult::End::kExited, status);
}

struct VerdictCase {
  const char* name;
  LaunchResult launch;
  std::optional<std::string> output;  // nothing: no output file
  std::wstring stale;
  DatabaseOutcome outcome;
  std::wstring message;
};

TEST(RestoreVerdict, FromTheClientsEndAndOutput) {
  const VerdictCase cases[] = {
      {"success", Exited(0), kSuccess, L"", DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"success in UTF-16", Exited(0), Utf16(kSuccess), L"", DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"error message, status 1", Exited(1), kError, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: Msg 3201, Level 16, State 2, Server QELHOST, Line 1 Cannot open "
       L"backup device 'C:\\bk\\QEL_PLUV.bak'."},
      {"error message in another language, status 0", Exited(0),
       "Meldung 4060, Ebene 11, Status 1, Server X\nDatenbank nicht gefunden\n", L"",
       DatabaseOutcome::kFailed,
       L"SQL restore failed: Meldung 4060, Ebene 11, Status 1, Server X Datenbank nicht "
       L"gefunden"},
      {"a severity below 11 is no error", Exited(0),
       std::string("Msg 5701, Level 10, State 2\nChanged database context.\n") + kSuccess, L"",
       DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"an error wins over the success line", Exited(0), std::string(kSuccess) + kError, L"",
       DatabaseOutcome::kFailed,
       L"SQL restore failed: Msg 3201, Level 16, State 2, Server QELHOST, Line 1 Cannot open "
       L"backup device 'C:\\bk\\QEL_PLUV.bak'."},
      {"status without output", Exited(2), "", L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended with status 2"},
      {"success line but status 1", Exited(1), kSuccess, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended with status 1"},
      {"signal", Ended(LaunchResult::End::kSignaled, 9), kSuccess, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client was ended by signal 9"},
      {"still running", Ended(LaunchResult::End::kStillRunning), kSuccess, L"",
       DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client was still running after 5 seconds; its output "
       L"goes to C:\\qel\\run.logsql"},
      {"no output file", Exited(0), std::nullopt, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended without writing its output file "
       L"C:\\qel\\run.logsql"},
      {"no output file, status 3", Exited(3), std::nullopt, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended with status 3 and wrote no output file "
       L"C:\\qel\\run.logsql"},
      {"no output file yet", Ended(LaunchResult::End::kStillRunning), std::nullopt, L"",
       DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client was still running after 5 seconds; its output "
       L"goes to C:\\qel\\run.logsql"},
      {"empty output", Exited(0), "\r\n", L"", DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client's output C:\\qel\\run.logsql is empty"},
      {"other text", Exited(0), "Login ok\n", L"", DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: C:\\qel\\run.logsql holds neither an error message nor the "
       L"line of a processed restore"},
      {"an earlier run's output", Exited(0), kSuccess, L"Permission denied",
       DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the output of an earlier run could not be removed: "
       L"Permission denied"},
  };
  for (const VerdictCase& c : cases) {
    OutputFiles files;
    if (c.output) files.files[kOut] = *c.output;
    const VerdictLine verdict = JudgeRestore(files, c.launch, kOut, 5, c.stale);
    EXPECT_EQ(verdict.outcome, c.outcome) << c.name;
    EXPECT_EQ(verdict.message, c.message) << c.name;
  }
}

// How the client wrote its output file: in the console's code page, or after a byte-order mark.
enum class Written { kConsole, kUtf16, kUtf8 };

struct LanguageCase {
  const char* name;
  const char* codePage;  // the client's console code page (iconv name)
  Written written;
  const char* text;  // what the client said, UTF-8, a line per "\n" (written CR LF)
  int64_t status;
  DatabaseOutcome outcome;
  const wchar_t* reason;  // the verdict line after "SQL restore ...: "
};

// Outputs shaped like those of the two clients on servers in ten languages.
TEST(RestoreVerdict, RealOutputsInTenLanguages) {
  using enum DatabaseOutcome;
  using enum Written;
  const LanguageCase cases[] = {
      {"en numbered with -m-1", "CP437", kConsole,
       "Msg 4035, Level 0, State 1, Server QELHOST, Line 1\n"
       "Processed 200 pages for database 'QEL_PLUV', file 'QEL_PLUV' on file 1.\n"
       "Msg 3014, Level 0, State 1, Server QELHOST, Line 1\n"
       "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).\n",
       0, kVerified,
       L"RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec)."},
      {"en numbered header over a line that is no processed restore", "CP437", kConsole,
       "Msg 3014, Level 0, State 1, Server QELHOST, Line 1\n"
       "RESTORE DATABASE is terminating abnormally.\n",
       0, kNotVerified,
       L"C:\\qel\\run.logsql holds neither an error message nor the line of a processed restore"},
      {"en terminating abnormally alone", "CP437", kConsole,
       "RESTORE DATABASE is terminating abnormally.\n", 0, kNotVerified,
       L"C:\\qel\\run.logsql holds neither an error message nor the line of a processed restore"},
      {"en echoed statement shaped like a processed restore", "CP437", kConsole,
       "RESTORE DATABASE [QEL_PLUV] From DISK = N'C:\\bk 1 in 2.5 (3.5 MB/s)\\QEL_PLUV.bak'\n"
       "RESTORE DATABASE 1 in 2.5 (3.5 MB/s) From DISK = N'C:\\bk\\QEL_PLUV.bak'\n",
       0, kNotVerified,
       L"C:\\qel\\run.logsql holds neither an error message nor the line of a processed restore"},
      {"en no server, status 0", "CP437", kConsole,
       "[DBNETLIB]SQL Server does not exist or access denied.\n"
       "[DBNETLIB]ConnectionOpen (Connect()).\n",
       0, kFailed, L"[DBNETLIB]SQL Server does not exist or access denied."},
      {"en old network library, status 0", "CP437", kConsole,
       "[TCP/IP Sockets]Specified SQL server not found.\n"
       "[TCP/IP Sockets]ConnectionOpen (Connect()).\n",
       0, kFailed, L"[TCP/IP Sockets]Specified SQL server not found."},
      {"en login refused", "CP437", kConsole,
       "[Microsoft][ODBC SQL Server Driver][SQL Server]Login failed for user 'QEL\\restore'.\n", 1,
       kFailed,
       L"[Microsoft][ODBC SQL Server Driver][SQL Server]Login failed for user 'QEL\\restore'."},
      {"en native client, status 0", "CP437", kConsole,
       "[SQL Native Client]Named Pipes Provider: Could not open a connection to SQL Server [2]. \n"
       "[SQL Native Client]Login timeout expired\n",
       0, kFailed,
       L"[SQL Native Client]Named Pipes Provider: Could not open a connection to SQL Server [2]. "},
      {"en network error header", "CP437", kConsole,
       "HResult 0x2, Level 16, State 1\n"
       "Named Pipes Provider: Could not open a connection to SQL Server [2].\n"
       "Sqlcmd: Error: Microsoft SQL Server Native Client 10.0 : Login timeout expired.\n",
       1, kFailed,
       L"HResult 0x2, Level 16, State 1 Named Pipes Provider: Could not open a connection to SQL "
       L"Server [2]."},
      {"en option refused", "CP437", kConsole,
       "Sqlcmd: '-Q': Missing argument. Enter '-?' for help.\n", 1, kFailed,
       L"Sqlcmd: '-Q': Missing argument. Enter '-?' for help."},
      {"es success", "CP850", kConsole,
       "10 por ciento procesado.\n"
       "RESTORE DATABASE procesó correctamente 202 páginas en 0.120 segundos (13.147 MB/s).\n",
       0, kVerified,
       L"RESTORE DATABASE procesó correctamente 202 páginas en 0.120 segundos (13.147 MB/s)."},
      {"es failure", "CP850", kConsole,
       "Mens. 3201, Nivel 16, Estado 2, Línea 1\n"
       "No se puede abrir el dispositivo de copia de seguridad 'C:\\bk\\QEL_PLUV.bak'.\n"
       "Mens. 3013, Nivel 16, Estado 1, Línea 1\n"
       "RESTORE DATABASE está terminando de forma anómala.\n",
       1, kFailed,
       L"Mens. 3201, Nivel 16, Estado 2, Línea 1 No se puede abrir el dispositivo de copia de "
       L"seguridad 'C:\\bk\\QEL_PLUV.bak'."},
      {"zh success", "CP936", kConsole,
       "已处理百分之 100。\n"
       "RESTORE DATABASE 成功处理了 202 页，花费 0.120 秒(13.147 MB/秒)。\n",
       0, kVerified, L"RESTORE DATABASE 成功处理了 202 页，花费 0.120 秒(13.147 MB/秒)。"},
      {"zh failure", "CP936", kConsole,
       "消息 3201，级别 16，状态 2，第 1 行\n"
       "无法打开备份设备 'C:\\bk\\QEL_PLUV.bak'。出现操作系统错误 2(系统找不到指定的文件。)。\n"
       "消息 3013，级别 16，状态 1，第 1 行\n"
       "RESTORE DATABASE 正在异常终止。\n",
       1, kFailed,
       L"消息 3201，级别 16，状态 2，第 1 行 无法打开备份设备 'C:\\bk\\QEL_PLUV.bak'。出现操作系统"
       L"错误 2(系统找不到指定的文件。)。"},
      {"ja success", "CP932", kConsole,
       "100 パーセント処理されました。\n"
       "データベース 'QEL_PLUV'、ファイル 'QEL_PLUV' (ファイル 1) の 200 ページを処理しました。\n"
       "RESTORE DATABASE により 202 ページが 0.120 秒間に正常に処理されました (13.147 MB/秒)。\n",
       0, kVerified,
       L"RESTORE DATABASE により 202 ページが 0.120 秒間に正常に処理されました (13.147 MB/秒)。"},
      {"ja success in UTF-16", "CP932", kUtf16,
       "RESTORE DATABASE により 202 ページが 0.120 秒間に正常に処理されました (13.147 MB/秒)。\n",
       0, kVerified,
       L"RESTORE DATABASE により 202 ページが 0.120 秒間に正常に処理されました (13.147 MB/秒)。"},
      {"ja failure", "CP932", kConsole,
       "メッセージ 3201、レベル 16、状態 2、行 1\n"
       "バックアップ デバイス 'C:\\bk\\QEL_PLUV.bak' を開けません。\n"
       "メッセージ 3013、レベル 16、状態 1、行 1\n"
       "RESTORE DATABASE が異常終了しています。\n",
       1, kFailed,
       L"メッセージ 3201、レベル 16、状態 2、行 1 バックアップ デバイス 'C:\\bk\\QEL_PLUV.bak' を"
       L"開けません。"},
      {"ja instance not found", "CP932", kConsole,
       "HResult 0xFFFFFFFF、レベル 16、状態 1\n"
       "SQL ネットワーク インターフェイス: サーバー/指定したインスタンスの検索エラー [xFFFFFFFF].\n"
       "Sqlcmd: エラー: Microsoft SQL Server Native Client : "
       "ログインでタイムアウトが発生しました。\n",
       0, kFailed,
       L"HResult 0xFFFFFFFF、レベル 16、状態 1 SQL ネットワーク インターフェイス: サーバー/指定した"
       L"インスタンスの検索エラー [xFFFFFFFF]."},
      {"zh header without blanks", "CP936", kConsole,
       "消息3201，级别16，状态2，第1行\n无法打开备份设备。\n", 0, kFailed,
       L"消息3201，级别16，状态2，第1行 无法打开备份设备。"},
      {"ja full-width digits, status 0", "CP932", kConsole,
       "  メッセージ ３２０１、レベル １６、状態 ２、行 １\n"
       "バックアップ デバイスを開けません。\n",
       0, kFailed,
       L"  メッセージ ３２０１、レベル １６、状態 ２、行 １ バックアップ デバイスを開けません。"},
      {"ru success", "CP866", kConsole,
       "RESTORE DATABASE успешно обработал 202 страниц за 0.120 секунд (13.147 МБ/сек).\n", 0,
       kVerified,
       L"RESTORE DATABASE успешно обработал 202 страниц за 0.120 секунд (13.147 МБ/сек)."},
      {"ru failure in UTF-8 with a mark", "CP866", kUtf8,
       "Сообщение 3201, уровень 16, состояние 2, строка 1\n"
       "Не удается открыть устройство резервного копирования \"C:\\bk\\QEL_PLUV.bak\".\n"
       "RESTORE DATABASE аварийно завершается.\n",
       1, kFailed,
       L"Сообщение 3201, уровень 16, состояние 2, строка 1 Не удается открыть устройство "
       L"резервного копирования \"C:\\bk\\QEL_PLUV.bak\"."},
      {"de success", "CP850", kConsole,
       "RESTORE DATABASE hat erfolgreich 202 Seiten in 0.120 Sekunden verarbeitet (13.147 MB/s).\n",
       0, kVerified,
       L"RESTORE DATABASE hat erfolgreich 202 Seiten in 0.120 Sekunden verarbeitet (13.147 MB/s)."},
      {"de error before the success line", "CP850", kConsole,
       "Meldung 3201, Ebene 16, Status 2, Zeile 1\n"
       "Das Sicherungsmedium 'C:\\bk\\QEL_PLUV.bak' kann nicht geöffnet werden.\n"
       "RESTORE DATABASE hat erfolgreich 202 Seiten in 0.120 Sekunden verarbeitet (13.147 MB/s).\n",
       0, kFailed,
       L"Meldung 3201, Ebene 16, Status 2, Zeile 1 Das Sicherungsmedium 'C:\\bk\\QEL_PLUV.bak' "
       L"kann nicht geöffnet werden."},
      {"de login refused, status 0", "CP850", kConsole,
       "Sqlcmd: Fehler: Microsoft ODBC Driver 17 for SQL Server : Fehler bei der Anmeldung für den "
       "Benutzer 'QEL\\restore'..\n",
       0, kFailed,
       L"Sqlcmd: Fehler: Microsoft ODBC Driver 17 for SQL Server : Fehler bei der Anmeldung für "
       L"den "
       L"Benutzer 'QEL\\restore'.."},
      {"it success", "CP850", kConsole,
       "RESTORE DATABASE ha elaborato 202 pagine in 0.120 secondi (13.147 MB/sec).\n", 0, kVerified,
       L"RESTORE DATABASE ha elaborato 202 pagine in 0.120 secondi (13.147 MB/sec)."},
      {"it failure", "CP850", kConsole,
       "Msg 3201, livello 16, stato 2, riga 1\n"
       "Impossibile aprire il dispositivo di backup 'C:\\bk\\QEL_PLUV.bak'.\n"
       "RESTORE DATABASE terminato in modo anomalo.\n",
       1, kFailed,
       L"Msg 3201, livello 16, stato 2, riga 1 Impossibile aprire il dispositivo di backup "
       L"'C:\\bk\\QEL_PLUV.bak'."},
      {"fr success", "CP850", kConsole,
       "RESTORE DATABASE a traité avec succès 202 pages en 0,120 secondes (13,147 Mo/s).\n", 0,
       kVerified,
       L"RESTORE DATABASE a traité avec succès 202 pages en 0,120 secondes (13,147 Mo/s)."},
      {"fr failure", "CP850", kConsole,
       "Msg 3201, Niveau 16, État 2, Ligne 1\n"
       "Impossible d'ouvrir l'unité de sauvegarde 'C:\\bk\\QEL_PLUV.bak'.\n"
       "RESTORE DATABASE s'est terminé anormalement.\n",
       1, kFailed,
       L"Msg 3201, Niveau 16, État 2, Ligne 1 Impossible d'ouvrir l'unité de sauvegarde "
       L"'C:\\bk\\QEL_PLUV.bak'."},
      {"pt success", "CP850", kConsole,
       "RESTORE DATABASE processou com êxito 202 páginas em 0.120 segundos (13.147 MB/s).\n", 0,
       kVerified,
       L"RESTORE DATABASE processou com êxito 202 páginas em 0.120 segundos (13.147 MB/s)."},
      {"pt failure", "CP850", kConsole,
       "Msg 3201, Nível 16, Estado 2, Linha 1\n"
       "Não é possível abrir o dispositivo de backup 'C:\\bk\\QEL_PLUV.bak'.\n"
       "RESTORE DATABASE está sendo encerrado de forma anormal.\n",
       1, kFailed,
       L"Msg 3201, Nível 16, Estado 2, Linha 1 Não é possível abrir o dispositivo de backup "
       L"'C:\\bk\\QEL_PLUV.bak'."},
      {"ko success", "CP949", kConsole,
       "10%이(가) 처리되었습니다.\n"
       "파일 1에서 데이터베이스 'QEL_PLUV', 파일 'QEL_PLUV'의 페이지 200개를 처리했습니다.\n"
       "RESTORE DATABASE이(가) 202페이지를 0.120초 동안 처리했습니다(13.147MB/초).\n",
       0, kVerified, L"RESTORE DATABASE이(가) 202페이지를 0.120초 동안 처리했습니다(13.147MB/초)."},
      {"ko error after the success line", "CP949", kConsole,
       "RESTORE DATABASE이(가) 202페이지를 0.120초 동안 처리했습니다(13.147MB/초).\n"
       "메시지 3101, 수준 16, 상태 1, 줄 1\n"
       "데이터베이스가 사용 중이므로 배타적 액세스를 얻을 수 없습니다.\n",
       0, kFailed,
       L"메시지 3101, 수준 16, 상태 1, 줄 1 데이터베이스가 사용 중이므로 배타적 액세스를 얻을 수 "
       L"없습니다."},
      {"POSIX form: bytes that are not UTF-8", "UTF-8", kConsole,
       "Meldung 3201, Ebene 16, Status 2, Zeile 1\nDas Ger\x84t fehlt.\n", 1, kFailed,
       L"Meldung 3201, Ebene 16, Status 2, Zeile 1 Das Ger\\x84t fehlt."},
  };
  for (const LanguageCase& c : cases) {
    std::string text;
    for (const char* at = c.text; *at != '\0'; ++at)
      text += *at == '\n' ? "\r\n" : std::string(1, *at);
    OutputFiles files;
    files.consoleCodePage = c.codePage;
    std::string& bytes = files.files[kOut];
    if (c.written == kUtf16) {
      bytes = "\xFF\xFE" + Convert(text, "UTF-8", "UTF-16LE");
    } else if (c.written == kUtf8) {
      bytes = "\xEF\xBB\xBF" + text;
    } else {
      bytes = std::string_view(c.codePage) == "UTF-8" ? text : Convert(text, "UTF-8", c.codePage);
    }
    ASSERT_FALSE(bytes.empty()) << c.name << ": not in " << c.codePage;
    const VerdictLine verdict = JudgeRestore(files, Exited(c.status), kOut, 5, L"");
    const wchar_t* prefix = c.outcome == kVerified ? L"SQL restore verified: "
                            : c.outcome == kFailed ? L"SQL restore failed: "
                                                   : L"SQL restore not verified: ";
    EXPECT_EQ(verdict.message, prefix + std::wstring(c.reason)) << c.name;
    EXPECT_EQ(verdict.outcome, c.outcome) << c.name;
  }
}

TEST(RestoreVerdict, AnOverlongLineDoesNotHideTheLinesAfterIt) {
  OutputFiles files;
  files.files[kOut] = std::string(8 << 20, 'x') + "\n" + kSuccess;
  const ClientOutput output = ReadClientOutput(files, kOut);
  EXPECT_EQ(output.success.substr(0, 39), L"RESTORE DATABASE successfully processed");
}

}  // namespace
}  // namespace qelrestore::test

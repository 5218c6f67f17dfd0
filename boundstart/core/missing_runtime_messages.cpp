#include "missing_runtime_messages.h"

namespace boundstart {

namespace {
constexpr uint32_t kPrimaryLanguageMask = 0x3FF;
}

// clang-format off
// English (United States) and the default for every language without an entry.
constexpr char16_t kEnglishText[] =
    u"This application requires a version of Verimon Tessel which cannot be found.\n"
    u"Please download the latest version of the runtime from\n"
    BOUNDSTART_DOWNLOAD_ADDRESS
    u",\n"
    u"or contact the application author for an updated version.";

const MissingRuntimeMessage missingRuntimeMessages[kMissingRuntimeMessageCount] = {
    // 1: German (Germany)
    {"de", 0x0407,
     u"Für diese Anwendung ist eine Version von Verimon Tessel erforderlich, die nicht gefunden wurde.\n"
     u"Laden Sie die neueste Version der Laufzeitumgebung herunter:\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"oder wenden Sie sich an den Autor der Anwendung, um eine aktualisierte Version zu erhalten.",
     u"OK"},
    // 2: English (United States)
    {"en", 0x0409,
     kEnglishText,
     u"OK"},
    // 3: Spanish (Spain)
    {"es", 0x0C0A,
     u"Esta aplicación requiere una versión de Verimon Tessel que no se puede encontrar.\n"
     u"Descargue la versión más reciente del tiempo de ejecución en \n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u",\n"
     u", o bien, póngase en contacto con el autor de la aplicación para obtener una versión actualizada.",
     u"Aceptar"},
    // 4: French (France)
    {"fr", 0x040C,
     u"Cette application nécessite une version d'Verimon Tessel qui est introuvable.\n"
     u"Veuillez télécharger la dernière version de l'exécutable à partir de \n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"ou contacter l'auteur de l'application pour obtenir une mise à jour.",
     u"OK"},
    // 5: Italian (Italy)
    {"it", 0x0410,
     u"Impossibile trovare la versione di Verimon Tessel richiesta da questa applicazione.\n"
     u"Scaricate l'ultima versione del runtime da\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"oppure contattate l'autore dell'applicazione per richiedere una versione aggiornata.",
     u"OK"},
    // 6: Japanese
    {"ja", 0x0411,
     u"このアプリケーションで必要な Verimon Tessel のバージョンが見つかりません。\n"
     u"ランタイムの最新バージョンを \n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u" からダウンロードするか、\n"
     u"アプリケーション作成者に問い合わせてアップデートバージョンを入手してください。",
     u"OK"},
    // 7: Korean
    {"ko", 0x0412,
     u"이 응용 프로그램을 실행하려면 찾을 수 없는 Verimon Tessel 버전이 필요합니다.\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"에서 최신 버전의 런타임을 다운로드하거나\n"
     u"응용 프로그램 작성자에게 연락하여 업데이트 버전을 구하십시오.",
     u"확인"},
    // 8: Portuguese (Brazil)
    {"pt", 0x0416,
     u"Este aplicativo requer uma versão do Verimon Tessel que não pode ser encontrada.\n"
     u"Baixe a versão mais recente do tempo de execução em\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"ou entre em contato com o autor do aplicativo para obter uma versão atualizada.",
     u"OK"},
    // 9: Russian
    {"ru", 0x0419,
     u"Для работы данного приложения требуется версия Verimon Tessel, которую не удается найти.\n"
     u"Загрузите последнюю версию среды выполнения\n"
     u"с сайта "
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"или обратитесь к автору приложения за обновленной версией.",
     u"OK"},
    // 10: Chinese, Simplified (PRC)
    {"zh-Hans", 0x0804,
     u"无法找到此应用程序所需的 Verimon Tessel 版本。\n"
     u"请从 "
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"下载该运行时的最新版本，\n"
     u"或与应用程序作者联系，索取更新版本。",
     u"确定"},
    // 11: Chinese, Traditional (Taiwan)
    {"zh-Hant", 0x0404,
     u"找不到此應用程式所需的 Verimon Tessel 版本。\n"
     u"請從 "
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"下載最新版本的執行階段，\n"
     u"或聯絡應用程式編寫者以取得更新版本。 ",
     u"確定"},
    // 12: Czech
    {"cs", 0x0405,
     u"Tato aplikace vyžaduje verzi prostředí Verimon Tessel, kterou nelze nalézt.\n"
     u"Stáhněte si prosím nejnovější verzi z\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"nebo požádejte autora aplikace o aktualizovanou verzi.",
     u"OK"},
    // 13: Dutch (Netherlands)
    {"nl", 0x0413,
     u"Deze toepassing vereist een versie van Verimon Tessel die niet is gevonden.\n"
     u"Download de meest recente versie van de runtime vanaf\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"of neem contact op met de schrijver van de toepassing voor een bijgewerkte versie.",
     u"OK"},
    // 14: Polish
    {"pl", 0x0415,
     u"Ta aplikacja wymaga wersji środowiska Verimon Tessel, której nie można znaleźć.\n"
     u"Pobierz najnowszą wersję środowiska uruchamiania dostępną pod adresem\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"lub skontaktuj się z autorem aplikacji, aby uzyskać zaktualizowaną wersję aplikacji.",
     u"OK"},
    // 15: Swedish (Sweden)
    {"sv", 0x041D,
     u"Det här programmet kräver en version av Verimon Tessel som inte kan hittas.\n"
     u"Hämta den senaste versionen av Verimon Tessel från\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u"\n"
     u"eller kontakta programförfattaren för en uppdaterad version.",
     u"OK"},
    // 16: Turkish
    {"tr", 0x041F,
     u"Bu uygulama Verimon Tessel’ın bulunamayan bir sürümünü gerektiriyor.\n"
     u"Lütfen\n"
     BOUNDSTART_DOWNLOAD_ADDRESS
     u" adresinden çalıştırmanın en son sürümünü indirin\n"
     u"veya güncellenmiş sürüm için uygulamanın geliştiricisiyle bağlantı kurun.",
     u"OK"},
    // 17: default for every other language
    {"", 0x0000,
     kEnglishText,
     u"OK"},
};

const char16_t *const runtimeOptionMessage =
    u"Verimon Tessel could not be found.\n"
    u"Use \"-runtime <dir>\" to specify the location of the runtime.\n"
    u"You can download the latest version of the runtime\n"
    u"from " BOUNDSTART_DOWNLOAD_ADDRESS u".";
// clang-format on

size_t PickMissingRuntimeMessageFor(uint16_t languageId) {
    for (size_t i = 0; i < kMissingRuntimeMessageCount; ++i) {
        if (missingRuntimeMessages[i].languageId == languageId) {
            return i;
        }
    }
    // The default entry (id 0) takes no part in the primary-language pass.
    for (size_t i = 0; i < kDefaultMissingRuntimeMessage; ++i) {
        if ((missingRuntimeMessages[i].languageId & kPrimaryLanguageMask) ==
            (languageId & kPrimaryLanguageMask)) {
            return i;
        }
    }
    return kDefaultMissingRuntimeMessage;
}

} // namespace boundstart

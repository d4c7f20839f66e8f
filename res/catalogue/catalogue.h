// The one source of truth for every text the user sees and for the three dialog templates.
// Plain constant data: the Windows resource script is generated from it at build time, and
// the other back-ends read it directly. Texts are UTF-8; "\n" breaks a line.
#pragma once

#include <cstdint>

// Message ids.
constexpr unsigned IDS_ABOUT_MENU = 101;
constexpr unsigned IDS_UPDATE = 102;
constexpr unsigned IDS_CANCEL = 103;
constexpr unsigned IDS_FINISH = 104;
constexpr unsigned IDS_READY = 105;  // the one format: exactly one %s, the firmware version
constexpr unsigned IDS_PROBING = 106;
constexpr unsigned IDS_UPDATING = 107;
constexpr unsigned IDS_COMPLETED = 108;
constexpr unsigned IDS_NO_DEVICE = 109;
constexpr unsigned IDS_FAILED = 110;
constexpr unsigned IDS_OLD_VERSION = 111;
constexpr unsigned IDS_PROGRESS_TITLE = 112;
constexpr unsigned IDS_ABOUT_TITLE = 113;
constexpr unsigned IDS_MAIN_TITLE = 114;
constexpr unsigned IDS_VERSION_LABEL = 115;
constexpr unsigned IDS_NOTICE = 116;
constexpr unsigned FIRST_STRING_ID = 101;
constexpr unsigned STRING_COUNT = 16;

// Dialogs, controls, icon, system-menu item.
constexpr unsigned IDD_ABOUT = 100;
constexpr unsigned IDD_UPDATER = 102;
constexpr unsigned IDD_PROGRESS = 129;
constexpr unsigned IDI_UPDATER = 128;
constexpr unsigned IDC_MESSAGE = 1000;
constexpr unsigned IDC_UPDATE = 1001;
constexpr unsigned IDC_SEPARATOR = 1003;
constexpr unsigned IDC_FINISH = 1004;
constexpr unsigned IDC_PROGRESS = 1005;
constexpr unsigned IDC_VERSION_LABEL = 1006;
constexpr unsigned IDC_NOTICE = 1007;
constexpr unsigned IDC_VERSION = 1008;
constexpr unsigned IDC_STATIC_NONE = 65535;
constexpr unsigned IDC_OK = 1;  // the platform's IDOK
constexpr unsigned IDM_ABOUT = 16;

// Version texts.
constexpr const char* FIRMWARE_VERSION = "1.0.28";
constexpr const char* ABOUT_VERSION = "1.0.0.50208";
constexpr uint16_t FILE_VERSION[4] = {1, 0, 0, 50215};
constexpr const char* FILE_VERSION_TEXT = "1, 0, 0, 0502150";
// The one-line legal notice: message 116 in every table, and the version record's.
#define ORVANE_LEGAL_NOTICE "Copyright (C) 2026 Orvane"
constexpr const char* LEGAL_NOTICE = ORVANE_LEGAL_NOTICE;

// Language tables: Windows language ids.
constexpr unsigned LANG_ID_GERMAN = 1031;
constexpr unsigned LANG_ID_ENGLISH_US = 1033;
constexpr unsigned LANG_ID_FRENCH = 1036;
constexpr unsigned LANG_ID_ITALIAN = 1040;
constexpr unsigned LANG_ID_JAPANESE = 1041;
constexpr unsigned LANG_ID_ENGLISH_UK = 2057;

struct CatalogueTable {
    unsigned language_id;
    const char* texts[STRING_COUNT];  // ids 101 to 116 in order
};

// English (United States); the United Kingdom table differs only in 115 (no trailing blank).
#define ORVANE_ENGLISH_TEXTS(VERSION_LABEL)                                                               \
    {                                                                                                     \
        "Updater version information", "Update", "Cancel", "Finish",                                      \
            "Start updating firmware of Orvane M1 to %s.\n\nPlease select [Update] button to start.",     \
            "Probing devices on the network...\n\nPlease power on your Orvane M1 for firmware update.\n"  \
            "From the Server list screen, click the OPTIONS button,\n"                                    \
            "go to [System Settings] -> [Firmware Update] and select [OK].",                              \
            "Updating...", "Update completed.",                                                           \
            "Cannot probe any device that is ready for update.\n"                                         \
            "Please make sure the device and PC are connected to the same network.",                      \
            "Failed to update.\nPlease make sure your network cable is connected properly, then retry "   \
            "the firmware update procedure.",                                                             \
            "You're trying to backdate to an old version.\nFirmware update is cancelled.", "Updating...", \
            "Version Information", "Firmware updater for Orvane M1", VERSION_LABEL, ORVANE_LEGAL_NOTICE   \
    }

// The translated tables follow the English texts. Each keeps the one "%s" of 105, names the
// Update button in 105 by its own translation, and leaves the device's menu names (OPTIONS,
// [System Settings], [Firmware Update], [OK]) as the device shows them. Only the United
// States table ends 115 in a blank.
inline constexpr CatalogueTable kCatalogue[] = {
    {LANG_ID_GERMAN,
     {"Informationen zur Updater-Version", "Aktualisieren", "Abbrechen", "Beenden",
      "Die Firmware des Orvane M1 wird auf %s aktualisiert.\n\n"
      "Bitte wählen Sie die Schaltfläche [Aktualisieren], um zu beginnen.",
      "Geräte im Netzwerk werden gesucht...\n\n"
      "Bitte schalten Sie Ihren Orvane M1 für das Firmware-Update ein.\n"
      "Drücken Sie in der Serverliste die Taste OPTIONS,\n"
      "wählen Sie [System Settings] -> [Firmware Update] und dann [OK].",
      "Aktualisierung läuft...", "Aktualisierung abgeschlossen.",
      "Es wurde kein Gerät gefunden, das für die Aktualisierung bereit ist.\n"
      "Bitte stellen Sie sicher, dass Gerät und PC mit demselben Netzwerk verbunden sind.",
      "Die Aktualisierung ist fehlgeschlagen.\n"
      "Bitte prüfen Sie, ob das Netzwerkkabel richtig angeschlossen ist, und wiederholen Sie dann das "
      "Firmware-Update.",
      "Sie versuchen, auf eine ältere Version zurückzugehen.\nDas Firmware-Update wird abgebrochen.",
      "Aktualisierung läuft...", "Versionsinformationen", "Firmware-Updater für Orvane M1", "Updater-Version",
      ORVANE_LEGAL_NOTICE}},
    {LANG_ID_ENGLISH_US, ORVANE_ENGLISH_TEXTS("Updater Version ")},
    {LANG_ID_FRENCH,
     {"Informations sur la version du programme de mise à jour", "Mettre à jour", "Annuler", "Terminer",
      "Mise à jour du micrologiciel de l'Orvane M1 vers la version %s.\n\n"
      "Veuillez cliquer sur le bouton [Mettre à jour] pour commencer.",
      "Recherche des appareils sur le réseau...\n\n"
      "Veuillez allumer votre Orvane M1 pour la mise à jour du micrologiciel.\n"
      "Dans l'écran de la liste des serveurs, appuyez sur le bouton OPTIONS,\n"
      "allez dans [System Settings] -> [Firmware Update] et sélectionnez [OK].",
      "Mise à jour en cours...", "Mise à jour terminée.",
      "Aucun appareil prêt pour la mise à jour n'a été détecté.\n"
      "Veuillez vérifier que l'appareil et le PC sont connectés au même réseau.",
      "Échec de la mise à jour.\n"
      "Veuillez vérifier que votre câble réseau est correctement branché, puis recommencez la procédure "
      "de mise à jour du micrologiciel.",
      "Vous essayez de revenir à une version plus ancienne.\nLa mise à jour du micrologiciel est annulée.",
      "Mise à jour en cours...", "Informations de version",
      "Programme de mise à jour du micrologiciel pour Orvane M1", "Version du programme de mise à jour",
      ORVANE_LEGAL_NOTICE}},
    {LANG_ID_ITALIAN,
     {"Informazioni sulla versione del programma di aggiornamento", "Aggiorna", "Annulla", "Fine",
      "Aggiornamento del firmware di Orvane M1 alla versione %s.\n\n"
      "Selezionare il pulsante [Aggiorna] per iniziare.",
      "Ricerca dei dispositivi in rete...\n\n"
      "Accendere Orvane M1 per l'aggiornamento del firmware.\n"
      "Nella schermata dell'elenco dei server, premere il pulsante OPTIONS,\n"
      "andare su [System Settings] -> [Firmware Update] e selezionare [OK].",
      "Aggiornamento in corso...", "Aggiornamento completato.",
      "Non è stato rilevato alcun dispositivo pronto per l'aggiornamento.\n"
      "Verificare che il dispositivo e il PC siano collegati alla stessa rete.",
      "Aggiornamento non riuscito.\n"
      "Verificare che il cavo di rete sia collegato correttamente, quindi ripetere la procedura di "
      "aggiornamento del firmware.",
      "Si sta tentando di tornare a una versione precedente.\nL'aggiornamento del firmware è stato "
      "annullato.",
      "Aggiornamento in corso...", "Informazioni sulla versione",
      "Programma di aggiornamento del firmware per Orvane M1", "Versione del programma di aggiornamento",
      ORVANE_LEGAL_NOTICE}},
    {LANG_ID_JAPANESE,
     {"アップデーターのバージョン情報", "アップデート", "キャンセル", "終了",
      "Orvane M1 のファームウェアを %s にアップデートします。\n\n"
      "[アップデート] ボタンを選択すると開始します。",
      "ネットワーク上のデバイスを検索しています...\n\n"
      "ファームウェアをアップデートする Orvane M1 の電源を入れてください。\n"
      "サーバーリスト画面で OPTIONS ボタンを押し、\n"
      "[System Settings] -> [Firmware Update] を選んで [OK] を選択してください。",
      "アップデート中...", "アップデートが完了しました。",
      "アップデートの準備ができたデバイスが見つかりません。\n"
      "デバイスと PC が同じネットワークに接続されていることを確認してください。",
      "アップデートに失敗しました。\n"
      "ネットワークケーブルが正しく接続されていることを確認してから、"
      "ファームウェアのアップデートをやり直してください。",
      "古いバージョンに戻そうとしています。\nファームウェアのアップデートを中止しました。",
      "アップデート中...", "バージョン情報", "Orvane M1 ファームウェアアップデーター",
      "アップデーターのバージョン", ORVANE_LEGAL_NOTICE}},
    {LANG_ID_ENGLISH_UK, ORVANE_ENGLISH_TEXTS("Updater Version")},
};
#undef ORVANE_ENGLISH_TEXTS

// Dialog templates, in dialog units.
struct ControlTemplate {
    unsigned id;
    const char* window_class;  // "STATIC", "BUTTON", "msctls_progress32"
    const char* text;          // template text; most controls start empty
    unsigned icon_id;          // for an icon control: the icon's resource id, else 0
    int x, y, cx, cy;
    uint32_t style;
};

struct DialogTemplate {
    unsigned id;
    bool extended;  // DIALOGEX form
    uint32_t style;
    uint32_t ex_style;
    int x, y, cx, cy;
    const char* font_face;  // as stored
    int point_size;
    int font_weight;
    bool italic;
    int charset;
    const ControlTemplate* controls;  // template order, which is the tab order
    int control_count;
};

inline constexpr ControlTemplate kUpdaterControls[] = {
    {IDC_MESSAGE, "STATIC", "", 0, 15, 22, 248, 85, 0x50020000u},
    {IDC_UPDATE, "BUTTON", "", 0, 89, 113, 99, 37, 0x50010000u},
    {IDC_SEPARATOR, "STATIC", "", 0, 0, 156, 278, 1, 0x50000010u},
    {IDC_FINISH, "BUTTON", "", 0, 215, 162, 55, 18, 0x50010000u},
};

inline constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC_NONE, "STATIC", "", IDI_UPDATER, 11, 17, 20, 21, 0x50000003u},
    {IDC_VERSION_LABEL, "STATIC", "", 0, 40, 10, 188, 12, 0x50020080u},
    {IDC_NOTICE, "STATIC", "", 0, 40, 40, 132, 8, 0x50020000u},
    {IDC_OK, "BUTTON", "OK", 0, 178, 34, 50, 14, 0x50030001u},
    {IDC_VERSION, "STATIC", "", 0, 40, 24, 132, 9, 0x50020080u},
};

inline constexpr ControlTemplate kProgressControls[] = {
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 0, 7, 28, 172, 10, 0x50800001u},
};

inline constexpr DialogTemplate kDialogTemplates[] = {
    {IDD_UPDATER, true, 0x90C800C0u, 0x00040000u, 0, 0, 279, 187, "MS P????", 9, 0, false, 1,
     kUpdaterControls, static_cast<int>(sizeof kUpdaterControls / sizeof kUpdaterControls[0])},
    {IDD_ABOUT, false, 0x80C800C0u, 0, 0, 0, 235, 55, "MS P????", 9, 0, false, 1, kAboutControls,
     static_cast<int>(sizeof kAboutControls / sizeof kAboutControls[0])},
    {IDD_PROGRESS, false, 0x80C000C0u, 0, 0, 0, 186, 65, "MS P????", 9, 0, false, 1, kProgressControls,
     static_cast<int>(sizeof kProgressControls / sizeof kProgressControls[0])},
};

inline const DialogTemplate* FindDialogTemplate(unsigned id) {
    for (const DialogTemplate& t : kDialogTemplates)
        if (t.id == id) return &t;
    return nullptr;
}

// The table of a language id, or null.
inline const CatalogueTable* FindCatalogueTable(unsigned language_id) {
    for (const CatalogueTable& t : kCatalogue)
        if (t.language_id == language_id) return &t;
    return nullptr;
}

// The wizard in the person's language: the bare engine with a script beside it opens its
// welcome page in the language the script forces, or in the interface language, and falls back
// to English; a silent run publishes the chosen language as #LANGUAGE# and logs in it.
#include "tests/win/win_test_util.h"

#include <stdlib.h>

#include "resources/resource.h"
#include "tests/win/robot.h"
#include "ui/language.h"

namespace
{

// What the welcome page of one language shows: the caption's mode word, Windows' own words for
// the wizard's buttons, and the note under the description. Texts in UTF-8.
struct Speech {
    const char *mode;
    const char *next;
    const char *cancel;
    const char *note;
    const char *logged; // the log's last line of a successful silent run
};

const Speech kEnglish = {"Setup", "Next >", "Cancel",
                         "Click Next to continue, or Cancel to exit Setup.",
                         "Setup finished successfully!"};
const Speech kGerman = {
    "Setup", "Weiter >", "Abbrechen",
    "Klicken Sie auf „Weiter“, um fortzufahren, oder auf „Abbrechen“, um Setup zu beenden.",
    "Setup wurde erfolgreich abgeschlossen!"};
const Speech kJapanese = {
    "セットアップ", "次へ(&N) >", "キャンセル",
    "続行するには [次へ] を、セットアップを終了するには [キャンセル] をクリックしてください。",
    "セットアップは正常に完了しました。"};

struct Case {
    int requested; // Set #LANGUAGE#, N in phase 0; 0 sets nothing
    int chosen;    // what #LANGUAGE# then holds
    Speech speech;
};

const Case kShipped[] = {
    {1033, 1033, kEnglish},
    {1031, 1031, kGerman},
    {1036,
     1036,
     {"Installation", "Suivant >", "Annuler",
      "Cliquez sur Suivant pour continuer, ou sur Annuler pour quitter l’installation.",
      "Installation : terminé avec succès !"}},
    {3082,
     3082,
     {"Instalación", "Siguiente >", "Cancelar",
      "Haga clic en Siguiente para continuar o en Cancelar para salir de la instalación.",
      "Instalación: completada correctamente."}},
    {1040,
     1040,
     {"Installazione", "Avanti >", "Annulla",
      "Fare clic su Avanti per continuare o su Annulla per uscire dall’installazione.",
      "Installazione: completata correttamente."}},
    {1046,
     1046,
     {"Instalação", "Avançar >", "Cancelar",
      "Clique em Avançar para continuar ou em Cancelar para sair da instalação.",
      "Instalação: concluída com êxito."}},
    {1043,
     1043,
     {"Installatie", "Volgende >", "Annuleren",
      "Klik op Volgende om verder te gaan of op Annuleren om de installatie af te sluiten.",
      "Installatie: geslaagd."}},
    {1045,
     1045,
     {"Instalacja", "Dalej >", "Anuluj",
      "Kliknij Dalej, aby kontynuować, lub Anuluj, aby zakończyć instalację.",
      "Instalacja: zakończono pomyślnie."}},
    {1049,
     1049,
     {"Установка", "Далее >", "Отмена",
      "Нажмите «Далее», чтобы продолжить, или «Отмена», чтобы выйти из программы установки.",
      "Установка: успешно завершено."}},
    {1041, 1041, kJapanese},
    {2052,
     2052,
     {"安装程序", "下一步(&N) >", "取消", "单击“下一步”继续，或单击“取消”退出安装程序。",
      "安装程序已成功完成！"}},
    {1042,
     1042,
     {"설치", "다음(&N) >", "취소", "계속하려면 [다음]을, 설치를 끝내려면 [취소]를 클릭하십시오.",
      "설치을(를) 완료했습니다."}},
    {1055,
     1055,
     {"Kurulum", "İleri >", "İptal",
      "Devam etmek için İleri'yi, kurulumdan çıkmak için İptal'i tıklatın.",
      "Kurulum başarıyla tamamlandı!"}},
    // German (Austria) takes German, whose resources are not the English ones tagged 0x0C07;
    // Estonian is not shipped; Portuguese (Portugal) and Chinese (Traditional) are written
    // differently from the variants shipped.
    {3079, 1031, kGerman},
    {1061, 1033, kEnglish},
    {2070, 1033, kEnglish},
    {1028, 1033, kEnglish},
};

// The row of the interface language `language` as the engine chooses it.
Case ForInterface(int language)
{
    for (const Case &c : kShipped) {
        if (c.requested == c.chosen && c.chosen != 1033 &&
            (c.chosen == language || (PRIMARYLANGID(c.chosen) == PRIMARYLANGID(language) &&
                                      PRIMARYLANGID(language) != LANG_CHINESE &&
                                      PRIMARYLANGID(language) != LANG_PORTUGUESE)))
            return {0, c.chosen, c.speech};
    }
    return {0, 1033, kEnglish};
}

class Language : public WindowsTest
{
  protected:
    void SetUp() override
    {
        WindowsTest::SetUp();
        Engine = Path("Setup.exe");
        // A product of this process alone: the suites and the interface-language runs share a
        // prefix, and one product's setups do not run side by side.
        Program = "Lingo" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CopyFileA(BuildPath("Setup.exe").c_str(), Engine.c_str(), FALSE));
    }

    void WriteScript(int requested)
    {
        std::string script = "PhaseBegin 0\r\n";
        if (requested)
            script += "  Set #LANGUAGE#, " + std::to_string(requested) + "\r\n";
        script += "  Set #PROGRAM#, " + Program + "\r\n";
        script += "  Set #VERSION#, 1.0\r\nPhaseEnd\r\n";
        script += "PhaseBegin 1\r\n  CreateDir \"#INSTALLPATH#\\#LANGUAGE#\"\r\nPhaseEnd\r\n";
        WriteFileText(Path("Setup.vis"), script);
    }

    // Opens the wizard, reads its welcome page and leaves it with Cancel.
    void ExpectWelcomePage(const Case &c)
    {
        WriteScript(c.requested);
        RunningProgram setup(StartProgram(Engine, "", Folder));
        std::string caption = std::string(c.speech.mode) + " - " + Program + " v1.0";
        WizardRobot wizard(caption.c_str(), c.speech.mode);
        ASSERT_TRUE(wizard.Open()) << c.requested << ": no wizard captioned " << caption;
        ASSERT_TRUE(wizard.On(kWelcomePage)) << c.requested;
        EXPECT_EQ(wizard.Text(IDOK), c.speech.next) << c.requested;
        EXPECT_EQ(wizard.Text(IDCANCEL), c.speech.cancel) << c.requested;
        EXPECT_EQ(wizard.Text(IDC_NOTE), c.speech.note) << c.requested;
        wizard.Press(IDCANCEL);
        EXPECT_EQ(setup.ExitCode(), 1602u) << c.requested;
    }

    // Installs silently: #LANGUAGE# names the folder phase 1 creates, and the log speaks it.
    void ExpectSilentRun(const Case &c)
    {
        WriteScript(c.requested);
        std::string target = Path(Program);
        EXPECT_EQ(RunProgram(Engine, "\"" + target + "\"", Folder), 0u) << c.requested;
        EXPECT_TRUE(Exists(target + "\\" + std::to_string(c.chosen))) << c.requested;
        std::string log = ReadFileText(Engine + ".log");
        EXPECT_NE(log.find(c.speech.logged), std::string::npos) << c.requested << ": " << log;
        RemoveTree(target);
        DeleteFileA((Engine + ".log").c_str());
    }

    std::string Engine;
    std::string Program;
};

TEST_F(Language, ScriptForcesEachLanguage)
{
    for (const Case &c : kShipped)
        ExpectWelcomePage(c);
    for (const Case &c : {kShipped[0], kShipped[1], kShipped[9], kShipped[13], kShipped[14]})
        ExpectSilentRun(c);
}

// Runs under the interface language of the prefix: English as the suites run, and again with
// LANG set to German, French, Spanish and Japanese (ctest's win*.language_* runs).
TEST_F(Language, FollowsTheInterface)
{
    int language = GetUserDefaultUILanguage();
    const char *lang = getenv("LANG");
    if (lang && lang[0] && strncmp(lang, "en", 2) != 0 && strcmp(lang, "C") != 0 &&
        strncmp(lang, "C.", 2) != 0) {
        ASSERT_NE(PRIMARYLANGID(language), LANG_ENGLISH)
            << "LANG=" << lang << " did not reach Wine: is its locale generated?";
    }
    Case c = ForInterface(language);
    ExpectWelcomePage(c);
    ExpectSilentRun(c);
}

} // namespace

// The windows take the desktop's font as the user set it, and every text of every language
// fits the control that shows it: no line cut off at the bottom of the message area, no
// button or label text clipped, at the default size, at 12 points, and with a Japanese
// desktop font. The windows are measured as the user would see them, with the catalogue's
// own texts in each control.
//
// ORVANE_SCREENSHOTS=DIR also saves each window with its longest text as a PNG there.
#include <QDir>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <cstdlib>

#include "app/updater_dlg.h"
#include "platform/catalogue/catalogue_strings.h"
#include "res/catalogue/catalogue.h"
#include "tests/qt/qt_test_support.h"

using qttest::Driver;
using qttest::TestDialog;
using qttest::Widget;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new qttest::QtEnvironment);

const unsigned kLanguages[] = {LANG_ID_GERMAN,  LANG_ID_ENGLISH_US, LANG_ID_FRENCH,
                               LANG_ID_ITALIAN, LANG_ID_JAPANESE,   LANG_ID_ENGLISH_UK};

// The desktop fonts a user may have: the platform's default, the same face at 12 points,
// and a Japanese desktop's interface font at 12 points.
struct DesktopFont {
    const char* name;
    const char* family;  // null: the platform's default font as it is
    int point_size;
};
const DesktopFont kFonts[] = {
    {"Default", nullptr, 0}, {"TwelvePoint", nullptr, 12}, {"JapaneseTwelvePoint", "IPAGothic", 12}};

// The texts each control of each window shows over its life, by catalogue id (0: a fixed
// text).
struct Shown {
    unsigned template_id;
    unsigned control_id;
    std::vector<unsigned> ids;
};
const std::vector<Shown> kShown = {
    {IDD_UPDATER,
     IDC_MESSAGE,
     {IDS_READY, IDS_PROBING, IDS_UPDATING, IDS_COMPLETED, IDS_NO_DEVICE, IDS_FAILED, IDS_OLD_VERSION}},
    {IDD_UPDATER, IDC_UPDATE, {IDS_UPDATE}},
    {IDD_UPDATER, IDC_FINISH, {IDS_CANCEL, IDS_FINISH}},
    {IDD_ABOUT, IDC_VERSION_LABEL, {IDS_VERSION_LABEL}},
    {IDD_ABOUT, IDC_VERSION, {0}},
    {IDD_ABOUT, IDC_NOTICE, {IDS_NOTICE}},
    {IDD_ABOUT, IDC_OK, {0}},
};

std::string TextOf(unsigned language, unsigned template_id, unsigned control_id, unsigned id) {
    if (id == IDS_READY) return FormatReadyMessage(CatalogueText(language, id), FIRMWARE_VERSION);
    if (id != 0) return CatalogueText(language, id);
    if (control_id == IDC_VERSION) return ABOUT_VERSION;
    const DialogTemplate* t = FindDialogTemplate(template_id);
    for (int i = 0; i < t->control_count; ++i)
        if (t->controls[i].id == control_id) return t->controls[i].text;
    return std::string();
}

// Why the text does not fit the widget as shown, or "" when it does.
std::string Misfit(QWidget* widget) {
    const QFontMetrics fm(widget->font());
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        const QRect room = label->contentsRect();
        const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
        // What the label lays out when it draws: lines wrapped at its width.
        const QRect need = fm.boundingRect(QRect(0, 0, room.width(), 100000), flags, label->text());
        if (need.width() > room.width())
            return "a word is " + std::to_string(need.width()) + " px wide in " +
                   std::to_string(room.width());
        if (need.height() > room.height())
            return std::to_string(need.height()) + " px of lines in " + std::to_string(room.height()) + " px";
        return "";
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        option.features =
            button->autoDefault() ? QStyleOptionButton::AutoDefaultButton : QStyleOptionButton::None;
        if (button->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const QSize need = fm.size(Qt::TextShowMnemonic, button->text());
        if (need.width() > room.width() || need.height() > room.height())
            return std::to_string(need.width()) + "x" + std::to_string(need.height()) + " px in " +
                   std::to_string(room.width()) + "x" + std::to_string(room.height());
        return "";
    }
    return "not a text control";
}

class TextFit : public ::testing::TestWithParam<DesktopFont> {
protected:
    void SetUp() override {
        m_saved = QApplication::font();
        const DesktopFont& f = GetParam();
        QFont font = m_saved;
        if (f.family != nullptr) font = QFont(QString::fromLatin1(f.family));
        if (f.point_size > 0) font.setPointSize(f.point_size);
        QApplication::setFont(font);
        m_font = font;
    }
    void TearDown() override {
        QApplication::setFont(m_saved);
        SetCatalogueLanguage(0);
    }

    // Opens the window, puts each text of each of its controls in turn and measures it; the
    // longest message stays in place for the screenshot.
    void CheckWindow(unsigned template_id, unsigned language) {
        SetCatalogueLanguage(language);
        TestDialog d(template_id);
        QSize window_size;
        d.init = [&](TestDialog& self) {
            QDialog* w = qtdialog::Window(self);
            EXPECT_EQ(w->font(), m_font) << "the window does not use the desktop's font";
            window_size = w->size();
        };
        Driver driver;
        driver.When(
            "shown", [&] { return qtdialog::Window(d) != nullptr && qtdialog::Window(d)->isVisible(); },
            [&] {
                for (const Shown& s : kShown) {
                    if (s.template_id != template_id) continue;
                    QWidget* widget = qtdialog::Control(d, s.control_id);
                    ASSERT_NE(widget, nullptr);
                    size_t longest = 0;
                    std::string longest_text;
                    for (unsigned id : s.ids) {
                        const std::string text = TextOf(language, template_id, s.control_id, id);
                        d.SetDlgItemText(s.control_id, text);
                        EXPECT_EQ(Misfit(widget), "")
                            << "language " << language << ", control " << s.control_id << ", text " << id
                            << ": \"" << text << "\"";
                        if (text.size() >= longest) longest = text.size(), longest_text = text;
                    }
                    d.SetDlgItemText(s.control_id, longest_text);
                }
                Save(d, template_id, language);
                d.EndDialog(IDOK);
            });
        qttest::RunWith(d, driver);
        m_sizes[template_id] = window_size;
    }

    void Save(const CDialog& d, unsigned template_id, unsigned language) const {
        const char* dir = std::getenv("ORVANE_SCREENSHOTS");
        if (dir == nullptr || *dir == '\0') return;
        QDir().mkpath(QString::fromUtf8(dir));
        const QString name = QStringLiteral("%1/fit-%2-%3-%4.png")
                                 .arg(QString::fromUtf8(dir), QString::fromLatin1(GetParam().name))
                                 .arg(template_id)
                                 .arg(language);
        qtdialog::Window(d)->grab().save(name);
    }

    QFont m_saved;
    QFont m_font;
    std::map<unsigned, QSize> m_sizes;
};

TEST_P(TextFit, EveryTextOfEveryLanguageFitsItsControl) {
    for (unsigned language : kLanguages) {
        SCOPED_TRACE(language);
        CheckWindow(IDD_UPDATER, language);
        CheckWindow(IDD_ABOUT, language);
    }
}

INSTANTIATE_TEST_SUITE_P(DesktopFonts, TextFit, ::testing::ValuesIn(kFonts),
                         [](const ::testing::TestParamInfo<DesktopFont>& param_info) {
                             return std::string(param_info.param.name);
                         });

// The windows grow with the desktop's font: a 12-point font gives a larger main window than
// a 9-point one, in proportion to the font's own measures.
TEST(DesktopFont, TheWindowsGrowWithTheFont) {
    const QFont saved = QApplication::font();
    std::map<int, QSize> sizes;
    std::map<int, qtdialog::BaseUnits> units;
    for (int points : {9, 12}) {
        QFont font = saved;
        font.setPointSize(points);
        QApplication::setFont(font);
        units[points] = qtdialog::DialogBaseUnits();
        TestDialog d(IDD_UPDATER);
        d.init = [&](TestDialog& self) {
            sizes[points] = qtdialog::Window(self)->size();
            self.EndDialog(IDOK);
        };
        d.DoModal();
    }
    QApplication::setFont(saved);
    EXPECT_GT(sizes[12].width(), sizes[9].width());
    EXPECT_GT(sizes[12].height(), sizes[9].height());
    EXPECT_GT(units[12].x, units[9].x);
    // 279 by 187 dialog units at each size's base units.
    for (int points : {9, 12}) {
        EXPECT_NEAR(sizes[points].width(), 279.0 * units[points].x / 4, 1) << points;
        EXPECT_NEAR(sizes[points].height(), 187.0 * units[points].y / 8, 1) << points;
    }
}

}  // namespace

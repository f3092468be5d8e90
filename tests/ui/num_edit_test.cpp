#include "ui/num_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <gtest/gtest.h>
#include <string>

namespace tvn::ui {
namespace {

// An edit that counts its beeps.
struct Edit {
    CNumEdit edit;
    int beeps = 0;
    Edit() {
        QObject::connect(&edit, &CNumEdit::refused, [this] { ++beeps; });
        edit.SetValue(8080);
    }
    // Selects everything, then types `keys` one by one.
    void Retype(const char* keys) {
        edit.selectAll();
        QTest::keyClicks(&edit, QString::fromLatin1(keys));
    }
};

TEST(NumEdit, KeepsThePortInRange) {
    struct Case {
        const char* typed; // after selecting all
        int value;         // the last good value afterwards
        int beeps;
    };
    const Case cases[] = {
        {"80", 80, 0},
        {"65535", 65535, 0},
        {"1", 1, 0},
        {"0", 8080, 1},     // 0 is no port
        {"70000", 7000, 1}, // the fifth key would leave the range
        {"65536", 6553, 1},
        {"655351", 65535, 1}, // a full edit still takes the key, then refuses
                              // it
        {"abc", 8080, 3},     // letters never get in
        {"8a1", 81, 1},
        {" ", 8080, 1},
        {"-5", 5, 1},
        {"00", 8080, 2},
        {"09", 8080, 2}, // the restored text is not selected: the 9 goes after it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Edit e;
        e.Retype(c.typed);
        EXPECT_EQ(e.edit.Value(), c.value);
        EXPECT_EQ(e.edit.text(), QString::number(e.edit.Value()));
        EXPECT_EQ(e.beeps, c.beeps);
    }
}

// Backspacing the last digit would leave an empty edit: it beeps and the digit comes back.
TEST(NumEdit, EmptyingTheEditRestoresTheLastGoodValue) {
    Edit e;
    e.edit.setCursorPosition(4);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(&e.edit, Qt::Key_Backspace);
    EXPECT_EQ(e.edit.Value(), 8);
    EXPECT_EQ(e.beeps, 0);
    QTest::keyClick(&e.edit, Qt::Key_Backspace);
    EXPECT_EQ(e.edit.text(), QStringLiteral("8"));
    EXPECT_EQ(e.edit.Value(), 8);
    EXPECT_EQ(e.beeps, 1);
}

// Text that arrives without typing (a paste) is checked like a key.
TEST(NumEdit, PastedTextIsChecked) {
    for (const auto& [pasted, value] :
         {std::pair{"443", 443}, std::pair{"12x", 8080}, std::pair{"99999", 8080}}) {
        SCOPED_TRACE(pasted);
        Edit e;
        QApplication::clipboard()->setText(QString::fromLatin1(pasted));
        e.edit.selectAll();
        e.edit.paste();
        EXPECT_EQ(e.edit.Value(), value);
        EXPECT_EQ(e.edit.text(), QString::number(value));
    }
}

TEST(NumEdit, SetValueIgnoresAPortOutOfRange) {
    Edit e;
    for (const int value : {0, -1, 65536, 1 << 20}) {
        e.edit.SetValue(value);
        EXPECT_EQ(e.edit.Value(), 8080) << value;
        EXPECT_EQ(e.edit.text(), QStringLiteral("8080"));
    }
    EXPECT_EQ(e.beeps, 0);
}

} // namespace
} // namespace tvn::ui

#include "qt/dialog_template.h"

#include <gtest/gtest.h>

#include "qt/template_dialog.h"

namespace vellomar {
namespace {

TEST(DialogTemplateTest, ParsesDialogsControlsAndStrings) {
  std::string error;
  auto dialogs = ParseDialogTemplates(
      "# comment\n\ndialog 7 \"Test\" 100 50\nstatic 12 \"A \\\"text\" 1 2 3 4\nbroken line\ngroupbox -1 \"Infos \" 5 6 7 8\n",
      &error);
  ASSERT_EQ(dialogs.size(), 1u);
  const DialogTemplate& dialog = dialogs.at(7);
  EXPECT_EQ(dialog.caption, "Test");
  EXPECT_EQ(dialog.width, 100);
  EXPECT_EQ(dialog.height, 50);
  ASSERT_EQ(dialog.controls.size(), 1u) << "quotes inside a text and lines without numbers are skipped";
  EXPECT_EQ(error, "static 12 \"A \\\"text\" 1 2 3 4") << "the first line that could not be read";
  EXPECT_EQ(dialog.controls.back().text, "Infos ") << "a trailing blank is kept";
  EXPECT_EQ(dialog.controls.back().id, -1);
  auto strings = ParseStringTable("103 \"Echec de l'initialisation des sockets Windows.\"\n");
  EXPECT_EQ(strings.at(103), "Echec de l'initialisation des sockets Windows.");
}

TEST(DialogTemplateTest, TheProgramsTemplatesAreAllThere) {
  const auto& templates = DialogTemplates();
  struct Want {
    int id;
    const char* caption;
    int width, height;
    size_t controls;
  };
  for (Want want : {Want{102, "Vellomar", 301, 255, 20}, Want{137, "Configuration", 251, 201, 11},
                    Want{147, "Settings", 408, 262, 33}, Want{143, "About", 243, 202, 10},
                    Want{151, "Account", 530, 367, 73}, Want{152, "Accounts", 420, 180, 5}}) {
    ASSERT_TRUE(templates.count(want.id)) << want.id;
    const DialogTemplate& dialog = templates.at(want.id);
    EXPECT_EQ(dialog.caption, want.caption);
    EXPECT_EQ(dialog.width, want.width);
    EXPECT_EQ(dialog.height, want.height);
    EXPECT_EQ(dialog.controls.size(), want.controls) << want.id;
  }
  EXPECT_EQ(ResourceString(103), "Echec de l'initialisation des sockets Windows.");
}

}  // namespace
}  // namespace vellomar

// Resolution of typed names against the account's modules, and display names.
#include <gtest/gtest.h>

#include "keelbox/modules/catalogue.hpp"

namespace keelbox {
namespace {

KeelboxEntitlement ent(std::string name, std::string code, std::vector<std::string> packages) {
  return KeelboxEntitlement{std::move(name), std::move(code), std::move(packages), {}};
}

const std::vector<KeelboxEntitlement> kModules = {
    ent("ZVK Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app", "zvk-sample-utils"}),
    ent("ZVK Tracer", "ENT_ZVK_TRACER_FREE", {"zvk-tracer"}),
};

struct NormalizeCase {
  std::string typed;
  std::string normalized;
};

class NormalizeName : public ::testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeName, BringsNameIntoCodeForm) {
  EXPECT_EQ(_normalize_name_for_module(GetParam().typed), GetParam().normalized);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NormalizeName,
    ::testing::Values(
        NormalizeCase{"zvk_sample_app", "ENT_ZVK_SAMPLE_APP"},
        NormalizeCase{"ZVK Sample App", "ENT_ZVK_SAMPLE_APP"},
        NormalizeCase{"zvk-sample-app", "ENT_ZVK_SAMPLE_APP"},
        NormalizeCase{"ent_zvk_sample_app", "ENT_ZVK_SAMPLE_APP"},
        NormalizeCase{"ent-zvk", "ENT_ZVK"},  // the prefix test comes after the replacements
        NormalizeCase{"ENTX", "ENT_ENTX"}, NormalizeCase{"numpy>=1.26", "ENT_NUMPY>=1.26"},
        NormalizeCase{" zvk_sample_app", "ENT__ZVK_SAMPLE_APP"},  // nothing trimmed
        NormalizeCase{"a\tb", "ENT_A\tB"},                        // only U+0020 becomes "_"
        NormalizeCase{"", "ENT_"},
        // Full Unicode upper-casing, whatever the user's locale.
        NormalizeCase{"straße", "ENT_STRASSE"}, NormalizeCase{"ent-straße", "ENT_STRASSE"},
        NormalizeCase{"café au lait", "ENT_CAFÉ_AU_LAIT"},
        NormalizeCase{"\uFB01x", "ENT_FIX"},        // the "fi" ligature expands
        NormalizeCase{"σοφία", "ENT_ΣΟΦΊΑ"},        // accents kept (no Greek rules)
        NormalizeCase{"istanbul", "ENT_ISTANBUL"},  // no Turkish dotted I
        NormalizeCase{"\u01C6emal", "ENT_\u01C4EMAL"}, NormalizeCase{"\u0149", "ENT_\u02BCN"}));

struct ClassifyCase {
  std::string typed;
  std::string expected;  // "module:<code>", "package:<key>" or "error"
};

class ClassifyName : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyName, DecidesModulePackageOrNeither) {
  ClassifiedNames got = install_names_to_modules_and_packages({GetParam().typed}, kModules);
  std::string seen;
  if (!got.module_codes.empty()) seen = "module:" + got.module_codes.at(0);
  if (!got.package_names.empty()) seen = "package:" + got.package_names.at(0);
  if (!got.error_names.empty()) {
    seen = "error";
    EXPECT_EQ(got.error_names.at(0), GetParam().typed);  // kept unchanged
  }
  EXPECT_EQ(got.module_codes.size() + got.package_names.size() + got.error_names.size(), 1u);
  EXPECT_EQ(seen, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClassifyName,
    ::testing::Values(ClassifyCase{"zvk_sample_app", "module:ENT_ZVK_SAMPLE_APP"},
                      ClassifyCase{"ZVK Sample App", "module:ENT_ZVK_SAMPLE_APP"},
                      ClassifyCase{"zvk-sample-app", "module:ENT_ZVK_SAMPLE_APP"},  // module wins
                      ClassifyCase{"ent_zvk_sample_app", "module:ENT_ZVK_SAMPLE_APP"},
                      ClassifyCase{"zvk-sample-utils", "package:zvk-sample-utils"},
                      ClassifyCase{"ZVK-Sample-Utils", "error"},  // package keys are case-sensitive
                      ClassifyCase{"zvk_tracer", "error"},        // the code ends in _FREE
                      ClassifyCase{"zvk tracer free", "module:ENT_ZVK_TRACER_FREE"},
                      ClassifyCase{"zvk-tracer", "package:zvk-tracer"},
                      ClassifyCase{"numpy>=1.26", "error"},
                      ClassifyCase{" zvk_sample_app", "error"}));

TEST(ClassifyNames, KeepsOrderAndRepetitionsInThreeLists) {
  ClassifiedNames got = install_names_to_modules_and_packages(
      {"zvk-sample-app", "zvk-sample-utils", "numpy", "ZVK Sample App", "zvk-sample-utils"},
      kModules);
  EXPECT_EQ(got.module_codes,
            (std::vector<std::string>{"ENT_ZVK_SAMPLE_APP", "ENT_ZVK_SAMPLE_APP"}));
  EXPECT_EQ(got.package_names, (std::vector<std::string>{"zvk-sample-utils", "zvk-sample-utils"}));
  EXPECT_EQ(got.error_names, (std::vector<std::string>{"numpy"}));
}

TEST(ClassifyNames, EmptyInputsGiveEmptyOrUnrecognisedLists) {
  EXPECT_EQ(install_names_to_modules_and_packages({}, kModules), ClassifiedNames{});
  ClassifiedNames got = install_names_to_modules_and_packages({"zvk_sample_app", "zvk-tracer"}, {});
  EXPECT_TRUE(got.module_codes.empty());
  EXPECT_TRUE(got.package_names.empty());
  EXPECT_EQ(got.error_names, (std::vector<std::string>{"zvk_sample_app", "zvk-tracer"}));
}

TEST(ClassifyNames, DuplicateCodesMatchFirstButExpandToLastPackages) {
  const std::vector<KeelboxEntitlement> modules = {ent("First", "ENT_DUP", {"a"}),
                                                   ent("Other", "ENT_OTHER", {"shared", "o"}),
                                                   ent("Second", "ENT_DUP", {"b", "shared"})};
  EXPECT_EQ(str_to_module("dup", modules), std::optional<std::string>("ENT_DUP"));
  EXPECT_EQ(list_of_module_codes_to_list_of_package_names(
                {"ENT_DUP", "ENT_OTHER", "ENT_NONE", "ENT_DUP"}, modules),
            (std::vector<std::string>{"b", "shared", "shared", "o", "b", "shared"}));
  EXPECT_EQ(str_to_package("shared", modules), std::optional<std::string>("shared"));
  EXPECT_EQ(str_to_package("Shared", modules), std::nullopt);
}

TEST(ClassifyNames, CodeWithoutPrefixCannotBeTyped) {
  const std::vector<KeelboxEntitlement> modules = {ent("Odd", "ODD_CODE", {"odd"})};
  EXPECT_EQ(str_to_module("ODD_CODE", modules), std::nullopt);
  EXPECT_EQ(str_to_module("odd code", modules), std::nullopt);
}

TEST(ModulePackages, WorkedExample) {
  EXPECT_EQ(list_of_module_codes_to_list_of_package_names(
                {"ENT_ZVK_SAMPLE_APP", "ENT_ZVK_TRACER_FREE"}, kModules),
            (std::vector<std::string>{"zvk-sample-app", "zvk-sample-utils", "zvk-tracer"}));
}

struct DisplayCase {
  std::string code;
  std::string display;
};

class DisplayName : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayName, TitleCasesRunsOfCasedLetters) {
  EXPECT_EQ(_module_code_to_name(GetParam().code), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisplayName,
    ::testing::Values(DisplayCase{"ENT_ZVK_SAMPLE_APP", "Zvk Sample App"},
                      DisplayCase{"ENT_ZVK_TRACER_FREE", "Zvk Tracer "},
                      DisplayCase{"ENT_ZVK_AGENT_KIT", "Zvk Agkit"},
                      DisplayCase{"ENT_ZVK_3D_VIEW", "Zvk 3D View"},
                      DisplayCase{"ENT_ABC1DEF", "Abc1Def"}, DisplayCase{"ENT_O'NEIL", "O'Neil"},
                      DisplayCase{"ENT_FREEDOM_FREE", "Dom "}, DisplayCase{"ENT_ENT_X", "X"},
                      DisplayCase{"ENT_ZVK__X__", "Zvk  X  "}, DisplayCase{"", ""},
                      DisplayCase{"ENT_ÉCOLE_ÜBER", "École Über"},
                      DisplayCase{"ENT_ßX", "Ssx"},                 // title case of ß is "Ss"
                      DisplayCase{"ENT_\u01C4EMAL", "\u01C5emal"},  // the title-case digraph
                      DisplayCase{"ENT_İSTANBUL", "İstanbul"},
                      DisplayCase{"ENT_ΟΔΟΣ_ΣΟΦΟΣ",
                                  "Οδος Σοφος"},        // final sigma at the end of a run
                      DisplayCase{"ENT_ΑΣ.Β", "Ασ.Β"},  // "." is ignorable: not final
                      DisplayCase{"ENT_ΣΑ", "Σα"}));

TEST(DisplayName, PassesBytesThatAreNotUtf8) {
  EXPECT_EQ(_module_code_to_name("ENT_AB\xFF"
                                 "CD"),
            "Ab\xFF"
            "Cd");
  EXPECT_EQ(_normalize_name_for_module("ab\xFF"), "ENT_AB\xFF");
}

}  // namespace
}  // namespace keelbox

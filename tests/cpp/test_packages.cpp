// Template packages in the engine layer: interning, and registration of an
// extracted package with its tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/fault.h"
#include "engine/package.h"

namespace quorbin::engine {
namespace {

TEST(PackageInterner, SameContentSameIndex) {
  PackageInterner in("sig", "key", "summary");
  const StringId a = in.string("a");
  EXPECT_EQ(a, 3u);
  EXPECT_EQ(in.string("a"), a);
  EXPECT_EQ(in.string("key"), 1u);
  EXPECT_EQ(in.string(""), 4u);

  const PathId ab = in.path(std::vector<std::string>{"a", "b"});
  EXPECT_EQ(in.path(std::vector<std::string_view>{"a", "b"}), ab);
  EXPECT_NE(in.path(std::vector<std::string>{"b", "a"}), ab);
  const PathId empty = in.path(std::vector<std::string>{});
  EXPECT_NE(empty, ab);

  EXPECT_EQ(in.ast_path("body[0]"), 0u);
  EXPECT_EQ(in.ast_path(""), 1u);
  EXPECT_EQ(in.ast_path("body[0]"), 0u);

  const TemplatePackage& p = in.package();
  EXPECT_EQ(p.strings, (std::vector<std::string>{"sig", "key", "summary", "a", "", "b"}));
  EXPECT_EQ(p.path_names(ab), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(p.path(empty).empty());
}

TEST(PackageInterner, BindingSetsAreSortedSetsByContent) {
  PackageInterner in("s", "k", "m");
  const BindingSetId first = in.binding_set({"z", "a", "z", "B"});
  EXPECT_EQ(in.binding_set({"a", "B", "z"}), first);
  EXPECT_EQ(in.package().binding_names(first), (std::vector<std::string>{"B", "a", "z"}));
  const BindingSetId none = in.binding_set({});
  EXPECT_NE(none, first);
  EXPECT_EQ(in.binding_set({}), none);
  // A name shared by two sets is one string.
  in.binding_set({"a", "q"});
  size_t count = 0;
  for (const std::string& s : in.package().strings) count += s == "a";
  EXPECT_EQ(count, 1u);
}

TEST(PackageInterner, EqualHeaderStringsKeepTheirEntries) {
  PackageInterner in("same", "same", "summary");
  const TemplatePackage& p = in.package();
  ASSERT_EQ(p.strings.size(), 3u);
  EXPECT_EQ(p.string(0), "same");
  EXPECT_EQ(p.string(1), "same");
  EXPECT_EQ(in.string("same"), 0u);
  EXPECT_EQ(in.string("summary"), 2u);
  EXPECT_EQ(p.strings.size(), 3u);
}

TEST(TemplatePackage, IndexesOutsideTheTablesAreFaults) {
  PackageInterner in("s", "k", "m");
  const TemplatePackage& p = in.package();
  EXPECT_THROW(p.string(3), InternalFault);
  EXPECT_THROW(p.path(0), InternalFault);
  EXPECT_THROW(p.ast_path(0), InternalFault);
  EXPECT_THROW(p.binding_set(0), InternalFault);
}

TEST(PackageExtraction, RegisteredTemplateCarriesPackageAndTree) {
  const std::string source = "def f(a):\n    quorbin_hole(b)\n";
  Result<ExtractedPackage> extracted = extract_template_package(source, "<test>", 1, "sig");
  ASSERT_TRUE(extracted) << extracted.error().detail;
  const TemplatePackage& p = extracted->package;
  ASSERT_EQ(p.scopes.size(), 2u);
  ASSERT_EQ(p.markers.size(), 1u);
  EXPECT_EQ(p.string(p.markers[0].marker_kind), "hole");
  EXPECT_EQ(p.markers[0].scope_id, 1u);
  EXPECT_EQ(p.path_names(p.markers[0].owner_path), (std::vector<std::string>{"f"}));

  const size_t locators = p.locators.size();
  RegisteredTemplate registered = registered_template_from_package(std::move(extracted).value(), source, 7);
  EXPECT_EQ(registered.first_global_locator_id, 7u);
  ASSERT_EQ(registered.locators.size(), locators);
  ASSERT_EQ(registered.records.size(), locators);
  EXPECT_EQ(registered.records[0].code_owner, (std::vector<std::string>{"f"}));
  EXPECT_EQ(registered.records[0].resource_name, "b");
  EXPECT_EQ(registered.locators[0].ast_path, "body[0]/body[0]/value");
  EXPECT_FALSE(registered.locators[0].parent_locator_id);
  ASSERT_TRUE(registered.module);
  ASSERT_NE(registered.module->tree.module, nullptr);
  EXPECT_EQ(registered.module->source, source);
  ASSERT_TRUE(registered.package);
  EXPECT_EQ(registered.package->string(1), registered.template_key);
  EXPECT_EQ(registered.package->string(2), registered.source_summary);
  EXPECT_EQ(registered.source_summary, "compile line=1 records=2");
}

TEST(PackageExtraction, ErrorsAreValues) {
  struct Case {
    const char* source;
    ErrorKind kind;
    const char* detail;
  };
  const Case cases[] = {
      {"x = (\n", ErrorKind::Syntax, nullptr},
      {"quorbin_import(x, bound=0)\n", ErrorKind::Schema, "boundary keyword `bound` must be a literal True/False"},
      {"quorbin_ref(x)\n", ErrorKind::Schema, "unsupported quorbin_ref statement context"},
      {"with quorbin_hole(x) as quorbin_fallback:\n    y = quorbin_ref(x)\n", ErrorKind::Schema,
       "native package marker row is missing for quorbin_ref at body[0]/body[0]/value"},
  };
  for (const Case& c : cases) {
    Result<ExtractedPackage> extracted = extract_template_package(c.source, "<test>", 1, "sig");
    ASSERT_FALSE(extracted) << c.source;
    EXPECT_EQ(extracted.error().kind, c.kind) << c.source;
    if (c.detail) EXPECT_EQ(extracted.error().detail, c.detail) << c.source;
  }
}

}  // namespace
}  // namespace quorbin::engine

// The archive component as the main window stores it.
#include <gtest/gtest.h>

#include "archive/zarvoZip.h"
#include "restructure/VelRun.h"

namespace {

TEST(VelZip, CarriesTheWindowsStoredSettings) {
  TComponent owner;
  TZip* zip = CreateVelZip(owner);
  EXPECT_EQ(zip->Name(), "VelZip");
  EXPECT_EQ(zip->ArcType(), atZip);
  EXPECT_EQ(zip->CompressMethod(), cmDeflate);
  EXPECT_EQ(zip->Switch(), swAdd);
  EXPECT_EQ(zip->DefaultExt(), ".zip");
  EXPECT_FALSE(zip->RecurseDirs());
  EXPECT_EQ(zip->StoredDirNames(), sdNone);
  EXPECT_EQ(zip->Attributes(),
            (TZarvoFileAttrs{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted}));
  EXPECT_EQ(zip->AttributesEx(), TZarvoFileAttrs{});
  EXPECT_EQ(zip->DeleteOptions(), doAllowUndo);
  EXPECT_EQ(zip->StoreFilesOfType().CommaText(),
            ".ACE,.ARC,.ARJ,.BH,.CAB,.ENC,.GZ,.HA,.JAR,.LHA,.LZH,.PAK,.PK3,.PK_,.RAR,.TAR,.TGZ,.UUE,.UU,.WAR,"
            ".XXE,.Z,"
            ".ZIP,.ZOO");
}

}  // namespace

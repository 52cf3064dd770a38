#include "base/UTraceMask.h"

#include <gtest/gtest.h>

TEST(UTraceMask, MasksThePasswordElementsOfWireAndTraceForms) {
    EXPECT_EQ(MaskSecretElements("<A><Username>me</Username><Password>s3cret</Password>"
                                 "<NewPassword a=\"1\">n&amp;w</NewPassword><UnlockPassword /></A>"),
              "<A><Username>me</Username><Password>********</Password>"
              "<NewPassword a=\"1\">********</NewPassword><UnlockPassword /></A>");
    EXPECT_EQ(MaskSecretElements("\t<Password>\r\n\t\ts3cret\r\n\t</Password>\r\n"),
              "\t<Password>********</Password>\r\n");
    // Names that merely contain the word, and empty elements, stay.
    EXPECT_EQ(MaskSecretElements("<PasswordHint>h</PasswordHint><Password></Password>"),
              "<PasswordHint>h</PasswordHint><Password></Password>");
    // Text cut short is masked as far as it goes.
    EXPECT_EQ(MaskSecretElements("<x><password>abc"), "<x><password>********");
    EXPECT_TRUE(IsSecretName("UnlockPassword"));
    EXPECT_FALSE(IsSecretName("Username"));
}

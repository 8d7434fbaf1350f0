// The variable and backup commands through the console of a simulated board.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "console_session.h"
#include "heap_info.h"
#include "help_text.h"

namespace {

const std::string kDefaults =
    "sys_st type:Int Val: 0x0(0)\r\n"
    "lcd_info type:Str Val: \r\n"
    "var1 type:Str Val: Hello\r\n"
    "var4 type:Int Val: 0x4d2(1234)\r\n"
    "var3 type:Int Val: 0x0(0)\r\n";
const std::string kNotEnough = "It is not enough parameters";
const std::string kReadOnly = "Register 0 is read-only.";

// CRC-32/MPEG-2 of the four value slots as 16 bytes, most significant byte first.
uint32_t slots_crc(uint32_t eng0, uint32_t eng1, uint32_t eng2, uint32_t eng3) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t word : {eng0, eng1, eng2, eng3}) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      crc ^= ((word >> shift) & 0xFFu) << 24;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc;
}

std::string crc_line(uint32_t crc) {
  char text[64];
  std::snprintf(text, sizeof text, "Backup CRC: 0x%x(%d)", crc, static_cast<int>(crc));
  return text;
}

TEST(Commands, TableKeepsTheHelpOrder) {
  size_t next = 0;
  for (const sConsole* c = fConsole; c->name != nullptr; ++c) {
    size_t at = next;
    while (at < std::size(help_text::kOrder) && std::strcmp(help_text::kOrder[at], c->name) != 0) ++at;
    ASSERT_LT(at, std::size(help_text::kOrder)) << c->name << " is unknown or out of order";
    next = at + 1;
  }
}

TEST(VariableCommands, DefaultsAreListedInCreationOrder) {
  ConsoleSession s;
  EXPECT_EQ(s.run("listv"), "Vars:\r\n" + kDefaults);
  EXPECT_EQ(s.run("var_get var1"), "Var var1=Hello");
  EXPECT_EQ(s.run("var_get var4"), "Var var4=0x4d2(1234)");
  // A text variable without text reads as missing.
  EXPECT_EQ(s.run("var_get lcd_info"), "Result FAIL. Var lcd_info");
}

TEST(VariableCommands, NumbersAndTexts) {
  ConsoleSession s;
  EXPECT_EQ(s.run("var_set x int 0x10"), "Result OK.");
  EXPECT_EQ(s.run("var_get x"), "Var x=0x10(16)");
  EXPECT_EQ(s.run("var_set n abc -3"), "Result OK.");  // any type word but str is a number
  EXPECT_EQ(s.run("var_get n"), "Var n=0xfffffffd(-3)");
  EXPECT_EQ(s.run("var_set y str Hello"), "Result OK.");
  EXPECT_EQ(s.run("var_get y"), "Var y=Hello");
  EXPECT_EQ(s.run("var_set q str \"a b\""), "Result OK.");
  EXPECT_EQ(s.run("var_get q"), "Var q=\"a b\"");
  // Set again: changed in place, the order stays that of first setting.
  EXPECT_EQ(s.run("var_set x str now"), "Result OK.");
  EXPECT_EQ(s.run("var_set var1 int 7"), "Result OK.");
  EXPECT_EQ(s.run("listv"),
            "Vars:\r\n"
            "sys_st type:Int Val: 0x0(0)\r\n"
            "lcd_info type:Str Val: \r\n"
            "var1 type:Int Val: 0x7(7)\r\n"
            "var4 type:Int Val: 0x4d2(1234)\r\n"
            "var3 type:Int Val: 0x0(0)\r\n"
            "x type:Str Val: now\r\n"
            "n type:Int Val: 0xfffffffd(-3)\r\n"
            "y type:Str Val: Hello\r\n"
            "q type:Str Val: \"a b\"\r\n");
  // -1 is the getter's failure value too.
  EXPECT_EQ(s.run("var_set m int 0xffffffff"), "Result OK.");
  EXPECT_EQ(s.run("var_get m"), "Result FAIL. Var m");
}

TEST(VariableCommands, MissingArgumentsAndVariables) {
  ConsoleSession s;
  for (const char* line : {"var_set", "var_set x", "var_set x str", "var_get", "var_del"})
    EXPECT_EQ(s.run(line), kNotEnough) << line;
  EXPECT_EQ(s.run("var_get nope"), "Result FAIL. Var nope");
  EXPECT_EQ(s.run("var_del nope"), "Result FAIL. Var nope");
  EXPECT_EQ(s.run("var_del var1"), "Result OK. Var var1 was delete");
  EXPECT_EQ(s.run("var_get var1"), "Result FAIL. Var var1");
  EXPECT_EQ(s.run("var_del var1"), "Result FAIL. Var var1");
  EXPECT_EQ(s.run("var_del sys_st"), "Result OK. Var sys_st was delete");
  EXPECT_EQ(s.run("listv"),
            "Vars:\r\n"
            "lcd_info type:Str Val: \r\n"
            "var4 type:Int Val: 0x4d2(1234)\r\n"
            "var3 type:Int Val: 0x0(0)\r\n");
  for (const char* name : {"lcd_info", "var4", "var3"}) s.run(std::string("var_del ") + name);
  EXPECT_EQ(s.run("listv"), "");  // an empty store prints nothing at all
}

TEST(VariableCommands, NoMemoryLeavesTheStoreAsItWas) {
  ConsoleSession s;
  heap_refuse_after(0);
  EXPECT_EQ(s.run("var_set z str abc"),
            "Fun:storage_set_str ERROR! Out of memory!\r\nResult FAIL. Var z not found or other error");
  EXPECT_EQ(s.run("var_set var1 str Bye"),
            "Fun:storage_set_str ERROR! Out of memory!\r\nResult FAIL. Var var1 not found or other error");
  EXPECT_EQ(s.run("var_set z int 5"),
            "Fun:storage_set_num ERROR! Out of memory!\r\nResult FAIL. Var z not found or other error");
  heap_refuse_after(~0ul);
  EXPECT_EQ(s.run("listv"), "Vars:\r\n" + kDefaults);
}

TEST(BackupCommands, FreshDomainSetGetAndCrc) {
  ConsoleSession s;
  const std::string zeros =
      "BACKUP registers:\r\n"
      "BKP_DR1 : 0x0(0)\r\nBKP_DR2 : 0x0(0)\r\nBKP_DR3 : 0x0(0)\r\nBKP_DR4 : 0x0(0)\r\n";
  EXPECT_EQ(s.run("backup_list"), zeros);
  EXPECT_EQ(s.run("backup_crc"), "Backup CRC: 0x552d22c8(1429021384)");

  EXPECT_EQ(s.run("backup_set 2 70000"), "Result OK.");  // 16 bits kept
  EXPECT_EQ(s.run("backup_get 2"), "Result: 0x1170(4464)");
  EXPECT_EQ(s.run("backup_set 0x4 -1"), "Result OK.");
  EXPECT_EQ(s.run("backup_get 4"), "Result: 0xffff(65535)");
  EXPECT_EQ(s.run("backup_list"),
            "BACKUP registers:\r\nBKP_DR1 : 0x0(0)\r\nBKP_DR2 : 0x1170(4464)\r\n"
            "BKP_DR3 : 0x0(0)\r\nBKP_DR4 : 0xffff(65535)\r\n");
  // Slot n lives in data register n + 1.
  EXPECT_EQ(s.board().bkp.data(3), 4464);
  EXPECT_EQ(s.board().bkp.data(5), 0xFFFF);
  EXPECT_EQ(s.run("backup_crc"), crc_line(slots_crc(0, 4464, 0, 0xFFFF)));
}

TEST(BackupCommands, CrcSlotAndBadSlots) {
  ConsoleSession s;
  EXPECT_EQ(s.run("backup_get 0"), kReadOnly);
  EXPECT_EQ(s.run("backup_set 0 5"), kReadOnly);
  EXPECT_EQ(s.run("backup_set 256 5"), kReadOnly);  // the slot is the low 8 bits
  EXPECT_EQ(s.board().bkp.data(1), 0);
  // The CRC slot is read through 256, and takes no part in the CRC.
  board::Bkp::Data d{};
  d[0] = 0xBEEF;
  s.board().bkp.load(d);
  EXPECT_EQ(s.run("backup_get 256"), "Result: 0xbeef(48879)");
  EXPECT_EQ(s.run("backup_crc"), "Backup CRC: 0x552d22c8(1429021384)");

  EXPECT_EQ(s.run("backup_get 5"), "Fun:ibackup_get_num ERROR! \"back\" parameter is wrong!\r\nResult FAIL.");
  EXPECT_EQ(s.run("backup_set 5 1"),
            "Fun:backup_set_num ERROR! \"back\" parameter is wrong!\r\nResult FAIL.");
  EXPECT_EQ(s.board().bkp.data(6), 0);
  for (const char* line : {"backup_get", "backup_set", "backup_set 3"})
    EXPECT_EQ(s.run(line), kNotEnough) << line;
}

TEST(BackupCommands, LongDescriptionsAreWithheld) {
  ConsoleSession s;
  EXPECT_EQ(s.run("help backup_set"), "Info is missing because very big");
  EXPECT_EQ(s.run("help var_set"), "Info is missing because very big");
  EXPECT_EQ(s.run("help backup_get"),
            "Command backup_get:\nRead vars from backup.\r\nbackup_get <num> <val>\r\nwhere: <num>-numb of "
            "backup reg");
  EXPECT_EQ(s.run("help var_del"),
            "Command var_del:\nRead vars from backup.\r\nbackup_get <num> <val>\r\nwhere: <name>-var name ");
}

}  // namespace

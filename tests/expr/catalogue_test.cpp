// The key expressions of the firms' index catalogue (a copy of its list kept here) and a few of the
// shared tables, each compiled against a table holding the fields it names. Group: IndexKeys. Every
// key is text and announces, before any record is read, exactly the width it then produces, since
// an index is laid out from that width before it holds a single key.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "fake_context.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;
using namespace tav::rt::literals;

namespace {

struct Tag {
  const char* name;
  const char* key;
};
struct TableTags {
  const char* table;
  std::vector<Tag> tags;
};

// Every tag of a firm's tables, in the order the firm's reindexing builds them.
const std::vector<TableTags> kFirmIndexes = {
    {"workus", {{"lpp", "lpp+data"}}},
    {"wydruki", {{"lpp", "typ_id+lpp_id+typ_wydr"}}},
    {"ks_wsp", {{"lpp", "lpp_dok"}, {"lpo", "lpp_o"}}},
    {"wsp_roz", {{"lpr", "lpp_o+mc"}}},
    {"wsp_ins", {{"lpo", "lpp_o"}}},
    {"wsp_str", {{"lpo", "lpp_o+rok"}}},
    {"deposit", {{"lpo", "lpp_o"}, {"lpp", "lpp"}}},
    {"rdeposit", {{"lpo", "lpp_o"}, {"lpp", "lpp"}}},
    {"rif_mc", {{"lpp", "lpp_o+lpp+mc"}}},
    {"st_d", {{"lpp", "nrinw+lpp_g+rmc_ot"}}},
    {"st_gn", {{"lpp", "lpp"}}},
    {"st_en", {{"lpp", "lpp"}, {"lpg", "lpp_g"}}},
    {"st_on", {{"lpp", "lpp"}, {"grm", "lpp_g+rmc"}, {"rmg", "rmc+lpp_g"}}},
    {"st_kst", {{"lpp", "lpp"}, {"kst", "g+kst"}}},
    {"st_dok", {{"lpg", "lpp_g+rmc+tip"}, {"lpp", "lpp"}, {"tip", "tip+lpp_g+rmc"}}},
    {"st_mc", {{"rmc", "rmc"}}},
    {"st_in", {{"lpp", "lpp"}}},
    {"st_fn", {{"lpp", "lpp"}, {"dat", "data"}}},
    {"st_wn", {{"lpp", "lpp"}, {"dat", "data_zak"}}},
    {"klient\\klient", {{"naz", "nazwa_sk"}, {"msc", "miasto"}, {"lpp", "symbol"}}},
    {"ks_kor", {{"lpp", "lpp"}, {"kas", "kas"}}},
    {"ks_kora", {{"lpp", "lpp"}, {"kas", "kas"}, {"kso", "lpp_sk"}}},
    {"ks_raty", {{"lpp", "lpp"}, {"kas", "kas"}, {"kso", "lpp_sk+dtos(termin)"}}},
    {"cov_pom", {{"dat", "data_o"}}},
    {"kso_ptu", {{"lpg", "plik+lpp_g"}, {"kas", "kas"}}},
    {"ksa_bnk", {{"lpp", "lpp"}}},
    {"ksa_dok",
     {{"lpp", "lpp"}, {"lpr", "lpp_r+poz"}, {"kli", "rkli+lpp_kli"}, {"dok", "lpp_dok"}}},
    {"ksa_roz",
     {{"lpp", "lpp"}, {"lpk", "Tkli+lpp_kli+dtos(data_ter)"}, {"Troz", "Troz+dtos(data_ter)"}}},
    {"ksa_rap", {{"lpp", "lpp_b+lpp"}}},
    {"v_p",
     {{"lpp", "lpp"}, {"dat", "mc+dtos(data)+lpp"}, {"lpk", "lpp_ks"}, {"fis", "lpp+kor_fisk"}}},
    {"v_zwrot", {{"lpp", "lpp_vp"}}},
    {"v_z", {{"lpp", "lpp"}, {"dat", "rmc+dtos(data)+lpp"}, {"lpk", "lpp_ks"}}},
    {"v_f", {{"rmc", "rmc"}}},
    {"v_fa", {{"lpp", "lpp_f+rmc"}}},
    {"ks_dok", {{"lpp", "lpp"}, {"dat", "tm+dtos(datak)"}}},
    {"sam_rej", {{"lpp", "lpp"}}},
    {"sam_dok", {{"lpp", "lpp"}, {"kss", "lpp_kss+dtos(data)"}}},
    {"sld_buff", {{"lpp", "lpp_dok"}, {"lps", "lpp_alien"}, {"kas", "kas"}}},
    {"ks_auto", {{"lpp", "lpp"}, {"lpz", "lpp_ksz"}, {"lps", "lpp_tav"}}},
    {"ks_mag", {{"lpp", "lpp"}, {"dat", "d_dok"}}},
    {"ks_maga", {{"lpp", "lpp"}, {"lpm", "lpp_mg+dtos(d_dok)"}}},
    {"mtu", {{"lpp", "lpp"}, {"sort", "sort"}, {"rmc", "rmc"}}},
    {"mtua", {{"lpp", "lpp"}, {"sort", "lpp_mtu+sort"}}},
    {"v_m", {{"lpp", "lpp"}, {"dat", "dtos(p22)"}}},
    {"ks_zl", {{"lpp", "lpp"}, {"lpv", "nr_zam+dtos(data)"}}},
    {"ks_zlz", {{"lpp", "lpp"}, {"lpv", "nr_zam+dtos(data)"}}},
    {"vd", {{"lpp", "lpp"}, {"rmc", "pz+rmc"}, {"lpv", "pz+dtos(data)"}}},
    {"v_ue", {{"rmc", "rmc+nrks"}}},
    {"v_uea", {{"rmc", "lpp_ue+wdt+wtt+ue+nip"}}},
    {"v_mag", {{"lpp", "lpp"}, {"rmc", "dtos(data_dok)"}}},
    {"v_o", {{"rmc", "rmc+nrks"}}},
    {"v_oa", {{"lpp", "lpp_vo+nip"}}},
    {"pr_mc", {{"rmc", "rok+mc"}}},
    {"pr_cz", {{"lpp", "lpp"}, {"naz", "ind"}}},
    {"pr", {{"lpp", "lpp"}, {"lpc", "lpp_cz+dtos(data)"}}},
    {"v_rws", {{"rmc", "kas+rmc+typ"}}},
    {"v_7n", {{"rmc", "rmc+nrks"}}},
    {"v_7na", {{"lpp", "rmc+nrks+rodz"}}},
    {"v_inne", {{"rmc", "rmc+typ"}}},
    {"v_uni", {{"lpp", "lpp"}, {"typ", "typ+rmc+dtos(data_dok)"}, {"kas", "kas"}}},
    {"v_oss", {{"lpp", "lpp"}, {"dat", "d_dost"}, {"rmc", "pczk_kod+rmc"}}},
    {"v_ossn", {{"nue", "kraj"}}},
    {"v_jpkd", {{"rmc", "rmc+nrk"}}},
    {"v_jpke", {{"rmc", "grupa+rmc+nrk+dtos(data_dok)"}, {"kas", "kas"}}},
    {"v7_jpk", {{"rmc", "rmc+nrk"}}},
    {"v_edek", {{"lpp", "dek+rmc+kor"}}},
    {"v_st", {{"lpp", "lpp"}, {"rc0", "rmc0"}, {"rc1", "dtos(data)"}}},
    {"v_kor", {{"r10", "rok1+rok0"}, {"r01", "rok0+rok1"}}},
    {"rk_dok",
     {{"lpp", "lpp"},
      {"lpd", "lpp_rkl+dtos(b_data)+lpp"},
      {"wnd", "lpp_rkl+strona+L_stan+dtos(b_data)+lpp"}}},
    {"rk_zal", {{"lpp", "lpp"}, {"dok", "lpp_dok"}, {"kli", "lpp_kli"}}},
    {"rk_roz", {{"lpp", "lpp"}, {"lpw", "lpp_wn"}, {"lpa", "lpp_ma"}}},
    {"rk_redyt", {{"lpp", "lpp"}, {"lpw", "lpp_wn"}, {"lpa", "lpp_ma"}}},
    {"rk_200", {{"lpk", "lpp_ks"}, {"lsd", "strona+dtos(data_d)"}}},
    {"rk_rap", {{"rkl", "lpp_rkl+nr_rap"}}},
    {"de_mini", {{"dat", "data"}}},
    {"ks_fw", {{"dat", "dtos(d_tav)"}}},
    {"ks_fwa", {{"lpf", "lpp_fw"}, {"lpa", "lpp_fwa"}}},
    {"ks_tow", {{"lpp", "lpp_tow"}, {"ppp", "skrot"}}},
    {"ks_spisa", {{"lpp", "lpp_spis"}, {"poz", "lpp_poz"}}},
    {"ks_dw", {{"lpp", "lpp_dw"}}},
    {"ks_refa", {{"lpp", "lpp"}, {"lpr", "lpp_ref"}}},
    {"rem_kor", {{"lpp", "lpp"}, {"kso", "lpp_rem+lpp_sk"}}},
    {"vat_ptu", {{"lpg", "plik+lpp_g+kor"}, {"kas", "kas"}}},
    {"p_ald", {{"lpp", "snazw+lpp_p+lpp_alu+skwoty"}}},
    {"p_alk", {{"lpp", "lpp"}, {"naz", "upper(skrot)"}}},
    {"p_alu", {{"lpp", "lpp"}, {"ppp", "lpp_p+typ"}}},
    {"p_alp", {{"lpp", "lpp"}, {"rmc", "lpp_p+lpp_alu+rmc"}}},
    {"p_alc", {{"sort", "sort"}}},
    {"p_alca", {{"lpp", "lpp"}, {"rmc", "lpp_p+dtos(data)"}}},
    {"p_cals", {{"lpp", "lpp_k+strzero(mc,2,0)"}}},
    {"p_p", {{"lpp", "lpp"}, {"naz", "upper(p7)"}}},
    {"p_pa", {{"lpp", "lpp"}, {"ppp", "lpp_p+sort"}}},
    {"p_h", {{"lpp", "lpp"}, {"ppw", "lpp_p+wmc"}, {"ppz", "lpp_p+zmc"}}},
    {"p_habs", {{"lpp_p", "lpp_p+rok"}}},
    {"p_ukalk", {{"lpp_p", "lpp_p"}}},
    {"p_f", {{"lpp", "lpp"}, {"lmc", "mc+lpp_p"}}},
    {"p_fs", {{"lpp", "lpp"}, {"lmc", "dpm+mc+lpp_p"}}},
    {"p_fs1", {{"lmc", "mc+lpp_p"}}},
    {"p_f8", {{"lpp_p", "lpp_p+z_rmc+nr_w"}, {"kas", "kas"}, {"lpp", "lpp"}}},
    {"p_doda", {{"lpp_d", "lpp_d"}, {"lpp_p", "lpp_p+lpp_d"}}},
    {"p_dod", {{"lpp", "lpp"}, {"zrmc", "z_rmc+dtos(data_w)"}}},
    {"ppk_dok", {{"lpp", "lpp"}, {"lpp_p", "lpp_p+dtos(data)"}, {"typ", "typ+lpp_p+dtos(data)"}}},
    {"ppk_buf", {{"lpp", "lpp"}, {"rmc", "rmc"}}},
    {"ppk_bufa", {{"lpp", "lpp"}, {"lpp_p", "lpp_p+typ+rmc"}, {"lpp_b", "lpp_b+lpp_p+typ+rmc"}}},
    {"ppk_zap", {{"lpp", "lpp"}, {"rmc_z", "rmc_z"}, {"rmc_d", "rmc_d"}}},
    {"p_poz", {{"lpp", "lpp"}, {"ppp", "lpp_p"}}},
    {"p_poza", {{"lpp", "lpp_z+zmc"}}},
    {"p_c", {{"lpp", "lpp"}, {"lmc", "mc+rodz+lpp_p"}, {"mcl", "lpp_p+rodz+mc"}}},
    {"p_n", {{"lpp", "lpp"}, {"lmc", "lpp_p+dtos(od)"}}},
    {"p_up", {{"lpp", "lpp"}, {"prc", "lpp_p"}, {"naz", "upper(p13)"}}},
    {"p_um", {{"lpp", "lpp"}, {"prc", "lpp_up"}}},
    {"p_uw", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}},
    {"p_ug", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}},
    {"p_uz", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}},
    {"p_us", {{"lpp", "lpp"}, {"pim", "im"}, {"lpp_up", "lpp_up"}}},
    {"p_work", {{"lpp", "lpp"}, {"prc", "lpp_p+dtos(okres_od)"}}},
    {"p_ud", {{"prc", "snazw+lpp_up+lpp_um+sdata"}}},
    {"p_udz", {{"prc", "snazw+lpp_up+lpp_um+sdata"}}},
    {"p_zlec", {{"lpp", "lpp"}, {"rmc", "rmc+lpp_p"}}},
    {"p_de_wyn", {{"lpp", "lpp"}, {"rmc", "rmc+lpp_p+kraj_kod"}, {"lpp_p", "lpp_p+rmc+kraj_kod"}}},
    {"p_fro", {{"lpp", "lpp"}, {"ppp", "rmc+lpp_p"}, {"prc", "lpp_p+rmc"}}},
    {"p_8c", {{"lpw", "lpp_up+lpp_wyp+dtos(data)"}}},
    {"p_8cw", {{"lpp", "lpp"}}},
    {"p_fpar", {{"rmc", "rmc"}}},
    {"p_snp", {{"rmc", "lpp_p+dtos(od_daty)"}}},
    {"p_emeryt", {{"rmc", "lpp_p+dtos(od_daty)"}}},
    {"p_hour", {{"rmc", "lpp_p+descend(rmc)"}}},
    {"p_lo", {{"lpp_p", "lpp_p+rmc+dzien"}}},
    {"p_hard", {{"lpp", "lpp"}}},
    {"p_hwyk", {{"lpp", "lpp"}, {"prc", "lpp_p+dtos(data_od)"}}},
    {"p_kald", {{"lpp", "lpp_p"}}},
    {"pl_kraj", {{"lpp", "lpp"}}},
    {"pl_eur",
     {{"lpp", "lpp"},
      {"zmc", "lpp_p+zmc+lpp_kr"},
      {"wmc", "lpp_p+wmc+lpp_kr"},
      {"rmc", "zmc+lpp_kr"}}},
    {"pl_183", {{"lpp", "lpp"}, {"prmc", "lpp_p+rmc+kraj_kod"}, {"rmcp", "rmc+lpp_p+kraj_kod"}}},
    {"pl_bud", {{"lpp", "lpp"}, {"Kraj", "Kraj"}}},
    {"p_11dod", {{"lpp", "lpp"}, {"rok", "rok+up+lpp_p"}, {"prc", "up+lpp_p+rok"}}},
    {"p_11ins", {{"lpp", "lpp"}, {"prc", "up+lpp_p"}}},
    {"tabele", {{"dat", "dtos(dataod)"}}},
    {"wspolnik", {{"lpo", "lpp_o"}}},
};

// A few keys of the shared tables that use functions the firm keys do not.
const std::vector<TableTags> kSharedIndexes = {
    {"pit_opp", {{"krs", "krs"}, {"naz", "left(miasto,15)"}}},
    {"fak", {{"lpp", "lpp"}, {"fdk", "str(nrfir0,4,0)+rf+nrdok"}}},
    {"euro", {{"dat", "dtos(data)"}}},
};

// Builds a fake table holding every field a table's keys name: a field inside dtos() is a date,
// the month of "p_cals" and the firm number of "fak" are numbers (their keys convert them), every
// other field is text of a length of its own, filled with distinct letters.
FakeTable& tableFor(FakeContext& ctx, const TableTags& t) {
  FakeTable& table = ctx.open(t.table);
  static const std::set<std::string> reserved = {"dtos", "descend", "upper",
                                                 "left", "strzero", "str"};
  std::regex ident("[A-Za-z_][A-Za-z0-9_]*");
  std::regex dated("dtos\\(([A-Za-z_0-9]+)\\)");
  for (const Tag& tag : t.tags) {
    std::string key = tag.key;
    std::set<std::string> dates;
    for (std::sregex_iterator it(key.begin(), key.end(), dated), end; it != end; ++it)
      dates.insert(folded((*it)[1].str()));
    for (std::sregex_iterator it(key.begin(), key.end(), ident), end; it != end; ++it) {
      std::string name = folded(it->str());
      if (reserved.count(name) || table.fields.count(name)) continue;
      if (dates.count(name)) {
        table.date(name, rt::Date::fromYmd(2020 + static_cast<int>(name.size()), 5, 17));
      } else if ((std::string(t.table) == "p_cals" && name == "mc") || name == "nrfir0") {
        table.number(name, 4, 0, 7);
      } else {
        int length = 2 + static_cast<int>(name.size() * 3 % 11);
        table.text(name, length,
                   std::string(static_cast<size_t>(length), static_cast<char>('A' + name.size())));
      }
    }
  }
  return table;
}

// The key width an index needs is known before any record is read, and equals the length of
// every key the expression then produces.
TEST(IndexKeys, EveryCatalogueKeyCompilesWithTheWidthItProduces) {
  size_t checked = 0;
  for (const auto* list : {&kFirmIndexes, &kSharedIndexes}) {
    for (const TableTags& t : *list) {
      FakeContext ctx;
      tableFor(ctx, t);
      for (const Tag& tag : t.tags) {
        SCOPED_TRACE(std::string(t.table) + " " + tag.name + " = " + tag.key);
        std::unique_ptr<Expression> e;
        rt::Error err;
        ASSERT_TRUE(rt::guarded([&] { e = Expression::compile(tag.key, ctx); }, &err))
            << err.summary();
        EXPECT_EQ(e->resultType(), 'C');
        std::string key = "stale bytes from the previous record";
        ASSERT_TRUE(rt::guarded([&] { e->evalKey(key); }, &err)) << err.summary();
        EXPECT_GT(e->resultWidth(), 0);
        EXPECT_EQ(static_cast<size_t>(e->resultWidth()), key.size());
        EXPECT_EQ(e->eval().str(), key);
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 264u);
}

}  // namespace

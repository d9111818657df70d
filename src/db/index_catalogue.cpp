// The catalogue of every firm table's tags. Order and letter case are the contract: the accounting
// program opens the tags by name, and a deletion row must follow the tables indexed above it.

#include "db/index_catalogue.h"

#include <algorithm>
#include <cctype>

namespace tav::db {
namespace {

CatalogueRow idx(std::string table, TagList tags) {
  return {std::move(table), false, std::move(tags), {}};
}
CatalogueRow optionalIdx(std::string table, TagList tags) {
  return {std::move(table), true, std::move(tags), {}};
}
CatalogueRow del(std::string file) { return {{}, false, {}, std::move(file)}; }

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const std::vector<CatalogueRow>& firmCatalogue() {
  // One line per table, tags in creation order; keep the order and the letter case exactly:
  // the accounting program opens these tags by name.
  static const std::vector<CatalogueRow> rows = {
      idx("workus", {{"lpp", "lpp+data"}}),
      idx("wydruki", {{"lpp", "typ_id+lpp_id+typ_wydr"}}),
      idx("ks_wsp", {{"lpp", "lpp_dok"}, {"lpo", "lpp_o"}}),
      idx("wsp_roz", {{"lpr", "lpp_o+mc"}}),
      idx("wsp_ins", {{"lpo", "lpp_o"}}),
      idx("wsp_str", {{"lpo", "lpp_o+rok"}}),
      idx("deposit", {{"lpo", "lpp_o"}, {"lpp", "lpp"}}),
      idx("rdeposit", {{"lpo", "lpp_o"}, {"lpp", "lpp"}}),
      idx("rif_mc", {{"lpp", "lpp_o+lpp+mc"}}),
      idx("st_d", {{"lpp", "nrinw+lpp_g+rmc_ot"}}),
      idx("st_gn", {{"lpp", "lpp"}}),
      idx("st_en", {{"lpp", "lpp"}, {"lpg", "lpp_g"}}),
      idx("st_on", {{"lpp", "lpp"}, {"grm", "lpp_g+rmc"}, {"rmg", "rmc+lpp_g"}}),
      idx("st_kst", {{"lpp", "lpp"}, {"kst", "g+kst"}}),
      idx("st_dok", {{"lpg", "lpp_g+rmc+tip"}, {"lpp", "lpp"}, {"tip", "tip+lpp_g+rmc"}}),
      idx("st_mc", {{"rmc", "rmc"}}),
      idx("st_in", {{"lpp", "lpp"}}),
      idx("st_fn", {{"lpp", "lpp"}, {"dat", "data"}}),
      idx("st_wn", {{"lpp", "lpp"}, {"dat", "data_zak"}}),
      del("dsto.dbf"),
      del("dsto.lpp"),
      del("st_dd.dbf"),
      idx("klient\\klient", {{"naz", "nazwa_sk"}, {"msc", "miasto"}, {"lpp", "symbol"}}),
      idx("ks_kor", {{"lpp", "lpp"}, {"kas", "kas"}}),
      idx("ks_kora", {{"lpp", "lpp"}, {"kas", "kas"}, {"kso", "lpp_sk"}}),
      idx("ks_raty", {{"lpp", "lpp"}, {"kas", "kas"}, {"kso", "lpp_sk+dtos(termin)"}}),
      idx("cov_pom", {{"dat", "data_o"}}),
      idx("kso_ptu", {{"lpg", "plik+lpp_g"}, {"kas", "kas"}}),
      idx("ksa_bnk", {{"lpp", "lpp"}}),
      idx("ksa_dok",
          {{"lpp", "lpp"}, {"lpr", "lpp_r+poz"}, {"kli", "rkli+lpp_kli"}, {"dok", "lpp_dok"}}),
      idx("ksa_roz", {{"lpp", "lpp"},
                      {"lpk", "Tkli+lpp_kli+dtos(data_ter)"},
                      {"Troz", "Troz+dtos(data_ter)"}}),
      idx("ksa_rap", {{"lpp", "lpp_b+lpp"}}),
      idx("v_p", {{"lpp", "lpp"},
                  {"dat", "mc+dtos(data)+lpp"},
                  {"lpk", "lpp_ks"},
                  {"fis", "lpp+kor_fisk"}}),
      idx("v_zwrot", {{"lpp", "lpp_vp"}}),
      idx("v_z", {{"lpp", "lpp"}, {"dat", "rmc+dtos(data)+lpp"}, {"lpk", "lpp_ks"}}),
      idx("v_f", {{"rmc", "rmc"}}),
      idx("v_fa", {{"lpp", "lpp_f+rmc"}}),
      idx("ks_dok", {{"lpp", "lpp"}, {"dat", "tm+dtos(datak)"}}),
      idx("sam_rej", {{"lpp", "lpp"}}),
      idx("sam_dok", {{"lpp", "lpp"}, {"kss", "lpp_kss+dtos(data)"}}),
      optionalIdx("sld_buff", {{"lpp", "lpp_dok"}, {"lps", "lpp_alien"}, {"kas", "kas"}}),
      idx("ks_auto", {{"lpp", "lpp"}, {"lpz", "lpp_ksz"}, {"lps", "lpp_tav"}}),
      idx("ks_mag", {{"lpp", "lpp"}, {"dat", "d_dok"}}),
      idx("ks_maga", {{"lpp", "lpp"}, {"lpm", "lpp_mg+dtos(d_dok)"}}),
      idx("mtu", {{"lpp", "lpp"}, {"sort", "sort"}, {"rmc", "rmc"}}),
      idx("mtua", {{"lpp", "lpp"}, {"sort", "lpp_mtu+sort"}}),
      idx("v_m", {{"lpp", "lpp"}, {"dat", "dtos(p22)"}}),
      idx("ks_zl", {{"lpp", "lpp"}, {"lpv", "nr_zam+dtos(data)"}}),
      idx("ks_zlz", {{"lpp", "lpp"}, {"lpv", "nr_zam+dtos(data)"}}),
      idx("vd", {{"lpp", "lpp"}, {"rmc", "pz+rmc"}, {"lpv", "pz+dtos(data)"}}),
      idx("v_ue", {{"rmc", "rmc+nrks"}}),
      idx("v_uea", {{"rmc", "lpp_ue+wdt+wtt+ue+nip"}}),
      idx("v_mag", {{"lpp", "lpp"}, {"rmc", "dtos(data_dok)"}}),
      idx("v_o", {{"rmc", "rmc+nrks"}}),
      idx("v_oa", {{"lpp", "lpp_vo+nip"}}),
      idx("pr_mc", {{"rmc", "rok+mc"}}),
      idx("pr_cz", {{"lpp", "lpp"}, {"naz", "ind"}}),
      idx("pr", {{"lpp", "lpp"}, {"lpc", "lpp_cz+dtos(data)"}}),
      idx("v_rws", {{"rmc", "kas+rmc+typ"}}),
      idx("v_7n", {{"rmc", "rmc+nrks"}}),
      idx("v_7na", {{"lpp", "rmc+nrks+rodz"}}),
      idx("v_inne", {{"rmc", "rmc+typ"}}),
      idx("v_uni", {{"lpp", "lpp"}, {"typ", "typ+rmc+dtos(data_dok)"}, {"kas", "kas"}}),
      idx("v_oss", {{"lpp", "lpp"}, {"dat", "d_dost"}, {"rmc", "pczk_kod+rmc"}}),
      idx("v_ossn", {{"nue", "kraj"}}),
      idx("v_jpkd", {{"rmc", "rmc+nrk"}}),
      idx("v_jpke", {{"rmc", "grupa+rmc+nrk+dtos(data_dok)"}, {"kas", "kas"}}),
      idx("v7_jpk", {{"rmc", "rmc+nrk"}}),
      idx("v_edek", {{"lpp", "dek+rmc+kor"}}),
      idx("v_st", {{"lpp", "lpp"}, {"rc0", "rmc0"}, {"rc1", "dtos(data)"}}),
      idx("v_kor", {{"r10", "rok1+rok0"}, {"r01", "rok0+rok1"}}),
      idx("rk_dok", {{"lpp", "lpp"},
                     {"lpd", "lpp_rkl+dtos(b_data)+lpp"},
                     {"wnd", "lpp_rkl+strona+L_stan+dtos(b_data)+lpp"}}),
      idx("rk_zal", {{"lpp", "lpp"}, {"dok", "lpp_dok"}, {"kli", "lpp_kli"}}),
      idx("rk_roz", {{"lpp", "lpp"}, {"lpw", "lpp_wn"}, {"lpa", "lpp_ma"}}),
      idx("rk_redyt", {{"lpp", "lpp"}, {"lpw", "lpp_wn"}, {"lpa", "lpp_ma"}}),
      idx("rk_200", {{"lpk", "lpp_ks"}, {"lsd", "strona+dtos(data_d)"}}),
      idx("rk_rap", {{"rkl", "lpp_rkl+nr_rap"}}),
      idx("de_mini", {{"dat", "data"}}),
      idx("ks_fw", {{"dat", "dtos(d_tav)"}}),
      idx("ks_fwa", {{"lpf", "lpp_fw"}, {"lpa", "lpp_fwa"}}),
      idx("ks_tow", {{"lpp", "lpp_tow"}, {"ppp", "skrot"}}),
      idx("ks_spisa", {{"lpp", "lpp_spis"}, {"poz", "lpp_poz"}}),
      idx("ks_dw", {{"lpp", "lpp_dw"}}),
      idx("ks_refa", {{"lpp", "lpp"}, {"lpr", "lpp_ref"}}),
      idx("rem_kor", {{"lpp", "lpp"}, {"kso", "lpp_rem+lpp_sk"}}),
      idx("vat_ptu", {{"lpg", "plik+lpp_g+kor"}, {"kas", "kas"}}),
      optionalIdx("p_ald", {{"lpp", "snazw+lpp_p+lpp_alu+skwoty"}}),
      idx("p_alk", {{"lpp", "lpp"}, {"naz", "upper(skrot)"}}),
      idx("p_alu", {{"lpp", "lpp"}, {"ppp", "lpp_p+typ"}}),
      idx("p_alp", {{"lpp", "lpp"}, {"rmc", "lpp_p+lpp_alu+rmc"}}),
      idx("p_alc", {{"sort", "sort"}}),
      idx("p_alca", {{"lpp", "lpp"}, {"rmc", "lpp_p+dtos(data)"}}),
      idx("p_cals", {{"lpp", "lpp_k+strzero(mc,2,0)"}}),
      idx("p_p", {{"lpp", "lpp"}, {"naz", "upper(p7)"}}),
      idx("p_pa", {{"lpp", "lpp"}, {"ppp", "lpp_p+sort"}}),
      idx("p_h", {{"lpp", "lpp"}, {"ppw", "lpp_p+wmc"}, {"ppz", "lpp_p+zmc"}}),
      idx("p_habs", {{"lpp_p", "lpp_p+rok"}}),
      idx("p_ukalk", {{"lpp_p", "lpp_p"}}),
      idx("p_f", {{"lpp", "lpp"}, {"lmc", "mc+lpp_p"}}),
      idx("p_fs", {{"lpp", "lpp"}, {"lmc", "dpm+mc+lpp_p"}}),
      idx("p_fs1", {{"lmc", "mc+lpp_p"}}),
      idx("p_f8", {{"lpp_p", "lpp_p+z_rmc+nr_w"}, {"kas", "kas"}, {"lpp", "lpp"}}),
      idx("p_doda", {{"lpp_d", "lpp_d"}, {"lpp_p", "lpp_p+lpp_d"}}),
      idx("p_dod", {{"lpp", "lpp"}, {"zrmc", "z_rmc+dtos(data_w)"}}),
      idx("ppk_dok",
          {{"lpp", "lpp"}, {"lpp_p", "lpp_p+dtos(data)"}, {"typ", "typ+lpp_p+dtos(data)"}}),
      idx("ppk_buf", {{"lpp", "lpp"}, {"rmc", "rmc"}}),
      idx("ppk_bufa",
          {{"lpp", "lpp"}, {"lpp_p", "lpp_p+typ+rmc"}, {"lpp_b", "lpp_b+lpp_p+typ+rmc"}}),
      idx("ppk_zap", {{"lpp", "lpp"}, {"rmc_z", "rmc_z"}, {"rmc_d", "rmc_d"}}),
      del("ppk_tree.dbf"),
      idx("p_poz", {{"lpp", "lpp"}, {"ppp", "lpp_p"}}),
      idx("p_poza", {{"lpp", "lpp_z+zmc"}}),
      idx("p_c", {{"lpp", "lpp"}, {"lmc", "mc+rodz+lpp_p"}, {"mcl", "lpp_p+rodz+mc"}}),
      idx("p_n", {{"lpp", "lpp"}, {"lmc", "lpp_p+dtos(od)"}}),
      idx("p_up", {{"lpp", "lpp"}, {"prc", "lpp_p"}, {"naz", "upper(p13)"}}),
      idx("p_um", {{"lpp", "lpp"}, {"prc", "lpp_up"}}),
      idx("p_uw", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}),
      idx("p_ug", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}),
      idx("p_uz", {{"lpp", "lpp"}, {"prc", "lpp_up+lpp_um"}}),
      idx("p_us", {{"lpp", "lpp"}, {"pim", "im"}, {"lpp_up", "lpp_up"}}),
      idx("p_work", {{"lpp", "lpp"}, {"prc", "lpp_p+dtos(okres_od)"}}),
      idx("p_ud", {{"prc", "snazw+lpp_up+lpp_um+sdata"}}),
      idx("p_udz", {{"prc", "snazw+lpp_up+lpp_um+sdata"}}),
      idx("p_zlec", {{"lpp", "lpp"}, {"rmc", "rmc+lpp_p"}}),
      idx("p_de_wyn",
          {{"lpp", "lpp"}, {"rmc", "rmc+lpp_p+kraj_kod"}, {"lpp_p", "lpp_p+rmc+kraj_kod"}}),
      del("p_wyp1.dbf"),
      del("wpu.dbf"),
      del("wp.dbf"),
      del("wh.dbf"),
      del("whw.dbf"),
      idx("p_fro", {{"lpp", "lpp"}, {"ppp", "rmc+lpp_p"}, {"prc", "lpp_p+rmc"}}),
      idx("p_8c", {{"lpw", "lpp_up+lpp_wyp+dtos(data)"}}),
      idx("p_8cw", {{"lpp", "lpp"}}),
      idx("p_fpar", {{"rmc", "rmc"}}),
      idx("p_snp", {{"rmc", "lpp_p+dtos(od_daty)"}}),
      idx("p_emeryt", {{"rmc", "lpp_p+dtos(od_daty)"}}),
      idx("p_hour", {{"rmc", "lpp_p+descend(rmc)"}}),
      idx("p_lo", {{"lpp_p", "lpp_p+rmc+dzien"}}),
      idx("p_hard", {{"lpp", "lpp"}}),
      idx("p_hwyk", {{"lpp", "lpp"}, {"prc", "lpp_p+dtos(data_od)"}}),
      idx("p_kald", {{"lpp", "lpp_p"}}),
      idx("pl_kraj", {{"lpp", "lpp"}}),
      idx("pl_eur", {{"lpp", "lpp"},
                     {"zmc", "lpp_p+zmc+lpp_kr"},
                     {"wmc", "lpp_p+wmc+lpp_kr"},
                     {"rmc", "zmc+lpp_kr"}}),
      idx("pl_183",
          {{"lpp", "lpp"}, {"prmc", "lpp_p+rmc+kraj_kod"}, {"rmcp", "rmc+lpp_p+kraj_kod"}}),
      idx("pl_bud", {{"lpp", "lpp"}, {"Kraj", "Kraj"}}),
      idx("p_11dod", {{"lpp", "lpp"}, {"rok", "rok+up+lpp_p"}, {"prc", "up+lpp_p+rok"}}),
      idx("p_11ins", {{"lpp", "lpp"}, {"prc", "up+lpp_p"}}),
      idx("tabele", {{"dat", "dtos(dataod)"}}),
      idx("wspolnik", {{"lpo", "lpp_o"}}),
  };
  return rows;
}

const std::vector<CatalogueRow>& stepOnlyIndexes() {
  static const std::vector<CatalogueRow> rows = {
      idx("sme_ewi", {{"lpp", "lpp"}, {"ds", "ds"}}),
      idx("sme_zw", {{"rmc", "rmc"}}),
      idx("uwagi", {{"lpp", "modul+lpp"}}),
  };
  return rows;
}

const TagList* tagsFor(std::string_view table) {
  if (table.size() > 4 && sameName(table.substr(table.size() - 4), ".dbf")) table.remove_suffix(4);
  for (const auto* list : {&firmCatalogue(), &stepOnlyIndexes()}) {
    for (const CatalogueRow& row : *list) {
      if (!row.isDeletion() && sameName(row.table, table)) return &row.tags;
    }
  }
  return nullptr;
}

const std::vector<PublicIndex>& strIndexes() {
  static const std::vector<PublicIndex> rows = {
      {"min_zus", false, {{"rmc", "rok+mc"}}},
      {"pit_opp", false, {{"krs", "krs"}, {"naz", "left(miasto,15)"}}},
      {"euro", false, {{"dat", "dtos(data)"}}},
      {"ebc_euro", false, {{"dat", "data"}}},
      {"gus_m", false, {{"ntx", "nazwa"}}},
      {"gus_w", false, {{"ntx", "nr_w"}}},
      {"gus_p", false, {{"ntx", "nr_p"}}},
      {"gus_g", false, {{"ntx", "nr_g"}}},
      {"gus_d", false, {{"ntx", "nr_d"}}},
      {"zawody", false, {{"kod", "kod"}}},
      {"zus_o", false, {{"lpp", "lpp"}}},
      {"zus_m", false, {{"lpp", "lpp"}}},
      {"p_wolne", false, {{"dat", "od_daty"}}},
      {"us", false, {{"lpp", "lpp"}, {"naz", "us_m"}}},
      {"ods_tab", false, {{"dat", "data"}}},
      {"wzorce", true, {{"lpp", "nazwa+plik"}}},
  };
  return rows;
}

const std::vector<PublicIndex>& publicIndexes() {
  static const std::vector<PublicIndex> rows = {
      {"fpit", false, {{"lpp", "lpp"}, {"nrf", "pit+nrfir+rmc"}, {"rmc", "pit+rmc+nrfir"}}},
      {"tav_lpc", false, {{"nip", "kp+nip+rmc"}}},
      {"z52_rok", true, {{"nip", "nip"}}},
      {"pit_zap",
       false,
       {{"lpp", "lpp"},
        {"lpf", "lpp_f+dtos(data_z)"},
        {"lpw", "lpp_w+dtos(data_z)"},
        {"dat", "dtos(data_z)"}}},
      {"wpit", false, {{"lpp", "lpp"}, {"nrw", "pit+lpp_o+rmc"}, {"rmc", "pit+rmc+lpp_o"}}},
      {"wf", false, {{"lpp", "lpp"}, {"wf", "lpp_o+nrfir"}, {"fw", "nrfir+lpp_o"}}},
      {"own", false, {{"lpp", "lpp"}}},
      {"fir_dok", false, {{"lpp", "nr+data"}}},
      {"crm_vat", false, {{"lpp", "lpp"}, {"nrf", "rmc+nrfir"}}},
      {"crm_jpk", false, {{"lpp", "lpp"}, {"nrf", "rmc+nrfir"}, {"kas", "kas"}}},
      {"nip_list", false, {{"nip", "ue+nip"}}},
      {"crm_vue", false, {{"lpp", "lpp"}, {"nrf", "rmc+nrfir"}}},
      {"crm_p4r", false, {{"lpp", "lpp"}, {"nrf", "nrfir"}}},
      {"crm_pit", false, {{"lpp", "lpp"}, {"nrf", "rmc+nrfir+lpp_o"}}},
      {"crm_zua", false, {{"lpp", "lpp"}, {"nrf", "rmc+nrfir+id_tav"}}},
      {"crm_rmc", false, {{"rmc", "modul+komp"}}},
      {"crm_p11", false, {{"lpp", "lpp"}, {"nrf", "nrfir+lpp_p"}, {"upc", "lpp_upc"}}},
      {"crm_upc", false, {{"lpp", "lpp"}, {"glp", "lpp_g+lpp_l+lpp_p"}, {"k", "k"}}},
      {"crm_12", false, {{"lpp", "lpp"}, {"nrf", "nrfir+lpp_o"}}},
      {"crm_msg", false, {{"lpp", "lpp"}, {"odb", "id_o+ndata"}}},
      {"fak", false, {{"lpp", "lpp"}, {"fdk", "str(nrfir0,4,0)+rf+nrdok"}}},
      {"faka", false, {{"lpp", "lpp"}, {"lpf", "lppf"}}},
      {"workus", false, {{"lpp", "lpp+data"}}},
      {"reminder", false, {{"lpp", "lpp"}, {"usu", "usu"}, {"ulpp", "u_lpp"}}},
      {"mail_log", false, {{"lpp", "lpp"}, {"lpu", "lpp_u"}}},
      {"e_lista", false, {{"lpp", "lpp"}, {"nr", "nr"}}},
      {"limity", false, {{"nip", "nip+nrfir"}}},
  };
  return rows;
}

}  // namespace tav::db

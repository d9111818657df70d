// Plausible field values and Polish vocabulary for the sample records, chosen by field name; the
// first matching rule wins, so specific names come before the prefixes that would also take them.

#include "values.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "runtime/codepage.h"

namespace tav::mkrelease {
namespace {

using rt::Value;

// Written in UTF-8 here, stored in 852 by the tables.
const char* const kSurnames[] = {
    "Nowak",       "Kowalski",  "Wiśniewska", "Wójcik",     "Kowalczyk",   "Kamińska",
    "Lewandowski", "Zieliński", "Szymańska",  "Woźniak",    "Dąbrowski",   "Kozłowska",
    "Jankowski",   "Mazur",     "Krawczyk",   "Piotrowska", "Grabowski",   "Nowakowska",
    "Pawłowski",   "Michalska", "Król",       "Wieczorek",  "Jabłoński",   "Wróbel",
    "Majewska",    "Olszewski", "Stępień",    "Malinowska", "Jaworski",    "Adamczyk",
    "Dudek",       "Nowicka",   "Pająk",      "Sikora",     "Walczak",     "Baran",
    "Rutkowski",   "Michalak",  "Szewczyk",   "Ostrowska",  "Tomaszewski", "Pietrzak",
    "Żak"};
const char* const kFirstNames[] = {"Anna",     "Piotr",   "Małgorzata", "Krzysztof", "Agnieszka",
                                   "Andrzej",  "Barbara", "Tomasz",     "Ewa",       "Paweł",
                                   "Elżbieta", "Michał",  "Zofia",      "Łukasz",    "Jadwiga",
                                   "Grzegorz", "Urszula", "Józef"};
const char* const kCities[] = {
    "Warszawa",    "Kraków",    "Łódź",          "Wrocław",      "Poznań",   "Gdańsk",
    "Szczecin",    "Bydgoszcz", "Lublin",        "Białystok",    "Katowice", "Gdynia",
    "Częstochowa", "Radom",     "Toruń",         "Kielce",       "Rzeszów",  "Gliwice",
    "Zabrze",      "Olsztyn",   "Bielsko-Biała", "Zielona Góra", "Opole",    "Gorzów Wielkopolski",
    "Płock"};
const char* const kStreets[] = {"Marszałkowska",    "Piłsudskiego", "Mickiewicza",   "Słowackiego",
                                "Kościuszki",       "Długa",        "Polna",         "Leśna",
                                "Ogrodowa",         "Kwiatowa",     "Żeromskiego",   "Grunwaldzka",
                                "Wojska Polskiego", "3 Maja",       "Świętokrzyska", "Źródlana"};
const char* const kCompanyKinds[] = {
    "Usługi Remontowo-Budowlane", "Hurtownia Spożywcza", "Przedsiębiorstwo Handlowe",
    "Zakład Stolarski",           "Biuro Rachunkowe",    "Sklep Wielobranżowy",
    "Transport Ciężarowy",        "Piekarnia",           "Gabinet Stomatologiczny",
    "Warsztat Samochodowy",       "Pracownia Krawiecka", "Kwiaciarnia"};
const char* const kCompanyForms[] = {"Sp. z o.o.", "s.c.", "Sp. j.", "S.A.", "", ""};
const char* const kWords[] = {
    "zakup materiałów",       "sprzedaż towarów",      "usługa transportowa",
    "czynsz za lokal",        "energia elektryczna",   "opłata bankowa",
    "wynagrodzenie",          "zaliczka na podatek",   "składki ZUS",
    "paliwo do samochodu",    "materiały biurowe",     "naprawa sprzętu",
    "abonament telefoniczny", "szkolenie pracowników", "usługi księgowe"};
const char* const kUsers[] = {"ADMIN", "KSIEGOWA", "KADRY", "SZEF", "BIURO"};

std::string oem(const char* utf8) { return rt::utf8ToOem(utf8); }

std::string digits(Rng& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng.between(0, 9));
  return s;
}

bool glob(std::string_view pattern, std::string_view name) {
  if (pattern.size() > 1 && pattern.front() == '*' && pattern.back() == '*') {
    return name.find(pattern.substr(1, pattern.size() - 2)) != std::string_view::npos;
  }
  if (pattern.back() == '*')
    return name.substr(0, pattern.size() - 1) == pattern.substr(0, pattern.size() - 1);
  if (pattern.front() == '*')
    return name.size() >= pattern.size() - 1 && name.ends_with(pattern.substr(1));
  return pattern == name;
}

std::string lowerAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

using TextFn = std::string (*)(const Field&, size_t, int, Rng&);

std::string personName(const Field&, size_t, int, Rng& rng) { return surname(rng); }
std::string givenName(const Field&, size_t, int, Rng& rng) { return firstName(rng); }
std::string company(const Field&, size_t, int, Rng& rng) { return companyName(rng); }
std::string cityText(const Field&, size_t, int, Rng& rng) { return city(rng); }
std::string streetText(const Field&, size_t, int, Rng& rng) { return street(rng); }
std::string addressText(const Field&, size_t, int, Rng& rng) {
  return "ul. " + street(rng) + " " + std::to_string(rng.between(1, 120)) + ", " + city(rng);
}
std::string nipText(const Field&, size_t, int, Rng& rng) { return nip(rng); }
std::string peselText(const Field&, size_t, int, Rng& rng) { return digits(rng, 11); }
std::string regonText(const Field&, size_t, int, Rng& rng) { return digits(rng, 9); }
std::string postalCode(const Field&, size_t, int, Rng& rng) {
  return digits(rng, 2) + "-" + digits(rng, 3);
}
std::string phone(const Field&, size_t, int, Rng& rng) {
  return digits(rng, 3) + " " + digits(rng, 3) + " " + digits(rng, 3);
}
std::string account(const Field&, size_t, int, Rng& rng) { return digits(rng, 26); }
std::string email(const Field&, size_t, int, Rng& rng) {
  return lowerAscii(kFirstNames[rng.next() % 6]) + "." + std::to_string(rng.between(1, 99)) +
         "@poczta.pl";
}
std::string yearMonth(const Field&, size_t, int year, Rng& rng) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04d%02ld", year, rng.between(1, 12));
  return buf;
}
std::string month(const Field&, size_t, int, Rng& rng) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02ld", rng.between(1, 12));
  return buf;
}
std::string yearText(const Field&, size_t, int year, Rng&) { return std::to_string(year); }
std::string recordKey(const Field& f, size_t row, int, Rng&) {
  return keyText(static_cast<long>(row) + 1, f.length);
}
std::string linkKey(const Field& f, size_t row, int, Rng& rng) {
  return keyText(rng.between(1, std::max<long>(5, static_cast<long>(row) + 1)), f.length);
}
std::string description(const Field&, size_t, int, Rng& rng) { return oem(rng.pick(kWords)); }
std::string user(const Field&, size_t, int, Rng& rng) { return rng.pick(kUsers); }
std::string documentNumber(const Field&, size_t row, int year, Rng& rng) {
  return "FV/" + std::to_string(row + 1) + "/" + std::to_string(rng.between(1, 12)) + "/" +
         std::to_string(year);
}
std::string house(const Field&, size_t, int, Rng& rng) {
  std::string n = std::to_string(rng.between(1, 140));
  return rng.chance(20) ? n + static_cast<char>('A' + rng.between(0, 3)) : n;
}
std::string plate(const Field&, size_t, int, Rng& rng) {
  const char* areas[] = {"WA", "KR", "PO", "GD", "WR", "LU", "SK", "EL"};
  return std::string(rng.pick(areas)) + " " + digits(rng, 5);
}
std::string vin(const Field&, size_t, int, Rng& rng) {
  static const char* const chars = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789";
  std::string s = "WVW";
  for (int i = 0; i < 14; ++i) s += chars[rng.next() % 33];
  return s;
}
std::string currency(const Field&, size_t, int, Rng& rng) {
  const char* c[] = {"PLN", "PLN", "PLN", "EUR", "USD"};
  return rng.pick(c);
}
std::string country(const Field&, size_t, int, Rng& rng) {
  const char* c[] = {"PL", "PL", "PL", "DE", "CZ", "SK", "LT", "FR"};
  return rng.pick(c);
}

// Field names the accounting program uses across its tables, and what they hold. First match
// wins, so specific names come before the prefixes that would also take them.
struct NameRule {
  const char* pattern;
  TextFn text;
};
const NameRule kTextRules[] = {
    {"nazwisko", personName},
    {"p7", personName},
    {"imie", givenName},
    {"im", givenName},
    {"kierowca", personName},
    {"osoba", personName},
    {"nazwa_sk", company},
    {"ident", company},
    {"nazwa*", company},
    {"firma", company},
    {"fir_*", company},
    {"nabywca", company},
    {"dostawca", company},
    {"pracodawca", company},
    {"podmiot", company},
    {"miasto*", cityText},
    {"poczta", cityText},
    {"us_m", cityText},
    {"ulica*", streetText},
    {"adres_nr*", house},
    {"adres*", addressText},
    {"adr_*", addressText},
    {"nip*", nipText},
    {"pesel", peselText},
    {"regon", regonText},
    {"kod", postalCode},
    {"kod_kli", postalCode},
    {"telefon", phone},
    {"jpk_tel", phone},
    {"konto", account},
    {"email", email},
    {"jpk_email", email},
    {"rmc*", yearMonth},
    {"*mc", yearMonth},
    {"mc", month},
    {"rok*", yearText},
    {"lpp", recordKey},
    {"lpp_*", linkKey},
    {"nrfir", linkKey},
    {"lpo", recordKey},
    {"nr_domu", house},
    {"nr_lok", house},
    {"nr_kli", house},
    {"nr_rej", plate},
    {"vin", vin},
    {"nr_vin", vin},
    {"nr_*", documentNumber},
    {"nrdok", documentNumber},
    {"opis*", description},
    {"uwagi", description},
    {"tytul", description},
    {"cel", description},
    {"przyczyna", description},
    {"tekst", description},
    {"temat", description},
    {"towar", description},
    {"uzytk", user},
    {"wal*", currency},
    {"waluta", currency},
    {"kraj*", country},
    {"ue", country},
};

}  // namespace

std::string keyText(long n, int width) {
  std::string s = std::to_string(n);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), ' ');
  return s.substr(s.size() - static_cast<size_t>(std::min<int>(width, static_cast<int>(s.size()))));
}

std::string fitText(std::string_view oemText, int width) {
  return std::string(oemText.substr(0, static_cast<size_t>(width)));
}

std::string surname(Rng& rng) { return oem(rng.pick(kSurnames)); }
std::string firstName(Rng& rng) { return oem(rng.pick(kFirstNames)); }
std::string city(Rng& rng) { return oem(rng.pick(kCities)); }
std::string street(Rng& rng) { return oem(rng.pick(kStreets)); }
std::string companyName(Rng& rng) {
  std::string name = oem(rng.pick(kCompanyKinds)) + " \"" + oem(rng.pick(kSurnames)) + "\"";
  std::string form = rng.pick(kCompanyForms);
  return form.empty() ? name : name + " " + form;
}
std::string nip(Rng& rng) {
  // A valid check digit, so that checks in the accounting program accept the sample firms.
  static const int weights[] = {6, 5, 7, 2, 3, 4, 5, 6, 7};
  for (;;) {
    std::string d = digits(rng, 9);
    if (d[0] == '0') continue;
    int sum = 0;
    for (int i = 0; i < 9; ++i) sum += (d[static_cast<size_t>(i)] - '0') * weights[i];
    if (sum % 11 == 10) continue;
    return d + static_cast<char>('0' + sum % 11);
  }
}
rt::Date dateIn(int year, Rng& rng) {
  return rt::Date::fromYmd(year, static_cast<int>(rng.between(1, 12)),
                           static_cast<int>(rng.between(1, 28)));
}

rt::Value fillerValue(const Field& f, size_t row, int year, Rng& rng) {
  switch (f.type) {
    case 'N': {
      int intDigits = f.length - (f.decimals ? f.decimals + 1 : 0);
      double top = std::min(std::pow(10.0, std::min(intDigits, 6)) - 1, 50000.0);
      double v = static_cast<double>(rng.between(0, static_cast<long>(top)));
      if (f.decimals) v += static_cast<double>(rng.between(0, 99)) / 100.0;
      if (v > top) v = top;
      return Value::number(v, f.length, f.decimals);
    }
    case 'D':
      return Value(dateIn(year, rng));
    case 'L':
      return Value(rng.chance(50));
    case 'M':
      return Value::memo(oem(rng.pick(kWords)) + "; " + oem(rng.pick(kWords)));
    default:
      break;
  }
  std::string name = lowerAscii(f.name);
  for (const NameRule& r : kTextRules) {
    if (glob(r.pattern, name)) return Value(fitText(r.text(f, row, year, rng), f.length));
  }
  if (f.length == 1) return Value(std::string(rng.chance(50) ? "T" : "N"));
  static const char* const letters = "ABCDEFGHIJKLMNOPRSTUWZ";
  std::string s;
  for (int i = 0; i < std::min(f.length, 8); ++i) s += letters[rng.next() % 22];
  return Value(s);
}

}  // namespace tav::mkrelease

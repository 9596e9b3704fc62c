#include "integration/embedded/directory_generator.h"

#include <lber.h>
#include <ldif.h>
#include <utf8proc.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qortest {
namespace {

constexpr int kPeople = 24;
constexpr int kInternationalPeople = 34;
constexpr int kGroups = 10;

// A small generator whose sequence depends on nothing but the seed.
class Seeded {
 public:
  explicit Seeded(uint32_t seed) : state_(0x9E3779B97F4A7C15ull ^ seed) {}
  uint32_t below(uint32_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ % bound);
  }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  uint64_t state_;
};

class Writer {
 public:
  void begin(const std::string& dn) {
    text_ += line("dn", dn);
    dns_.push_back(dn);
  }
  void value(const std::string& name, const std::string& value) { text_ += line(name, value); }
  void end() { text_ += '\n'; }
  std::string text() const { return text_; }
  const std::vector<std::string>& dns() const { return dns_; }

 private:
  static std::string line(const std::string& name, const std::string& value) {
    char* put = ldif_put_wrap(LDIF_PUT_VALUE, name.c_str(), value.data(), value.size(), 0);
    std::string out(put);
    ber_memfree(put);
    return out;
  }
  std::string text_;
  std::vector<std::string> dns_;
};

struct Person {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> naming;  // values the DN names
};

// The four ways people are named: plain, mixed case, an escaped comma, a
// two-valued RDN with a hex-escaped letter, and blanks around separators.
Person personNamed(int i) {
  const std::string n = std::to_string(i);
  switch (i % 5) {
    case 0:
      return {"uid=p" + n + ",ou=people,o=example", {{"uid", "p" + n}}};
    case 1:
      return {"UID=Mixed" + n + ",OU=People,O=Example", {{"uid", "Mixed" + n}}};
    case 2:
      return {"cn=Doe\\, Pat " + n + ",ou=people,o=example", {{"cn", "Doe, Pat " + n}}};
    case 3:
      return {"cn=R\\C3\\A9my " + n + "+uid=r" + n + ",ou=people,o=example",
              {{"cn", "R\xC3\xA9my " + n}, {"uid", "r" + n}}};
    default:
      return {"uid=blank" + n + " , ou=people , o=example", {{"uid", "blank" + n}}};
  }
}

std::string bytesOf(Seeded& random, std::size_t size) {
  std::string bytes;
  for (std::size_t k = 0; k < size; ++k) bytes.push_back(static_cast<char>(random.below(256)));
  bytes[0] = '\0';  // binary for certain
  return bytes;
}

void writePerson(Writer& out, const Person& person, int i, Seeded& random) {
  const std::string n = std::to_string(i);
  out.begin(person.dn);
  out.value("objectClass", random.chance(30) ? "InetOrgPerson" : "inetOrgPerson");
  if (random.chance(20)) out.value("objectClass", "organizationalPerson");
  // A type with an ordering rule, for >= and <= at their bounds.
  out.value("objectClass", "extensibleObject");
  out.value("dnQualifier", std::string(1, static_cast<char>('a' + i % 5)));
  if (i == 0) out.value("userPassword", kPersonPassword);
  bool named = false;
  for (const auto& [name, value] : person.naming) {
    out.value(name, value);
    named = named || name == "cn";
  }
  if (!named) out.value(random.chance(50) ? "cn" : "commonName", "Person  " + n + " Surname");
  out.value("sn", "Surname" + std::to_string(i % 7));
  if (random.chance(70)) out.value("mail", "Person" + n + "@Example.org");
  if (random.chance(60)) out.value("telephoneNumber", "+1 555-01" + n);
  if (random.chance(50)) out.value("description", "  spaced   out  " + n + " ");
  out.value("employeeNumber", std::to_string(1000 + i));
  if (random.chance(30)) out.value("audio", bytesOf(random, 3 + random.below(6)));
  out.end();
}

void writeSubscriber(Writer& out, const std::string& personDn, const std::string& name, int kind) {
  out.begin("cn=" + name + ",ou=subscribers,o=example");
  static const char* const kClasses[] = {"qorsubscriber", "qor-eventsubscriber"};
  if (kind < 2) {
    out.value("objectClass", kClasses[kind]);
  } else {
    out.value("objectClass", "device");
    out.value("objectClass", "qorInterfaceHolder");
    out.value("qorInterface", kind == 2 ? "QorSubscriber" : "qor-eventsubscriber");
  }
  out.value("cn", name);
  out.value("qorpersondn", personDn);
  out.end();
}

// Each subscriber names its person another way: ASCII letters in another
// case, blanks around separators, and for names beyond ASCII also the name
// in capitals, decomposed or full-width (`spelled`, after the first
// kPeople).
void writeSubscribers(Writer& out, const std::vector<Person>& people, Seeded& random,
                      const std::vector<std::string>& spelled) {
  int count = 0;
  for (std::size_t p = 0; p < people.size(); ++p) {
    const int subscribers = static_cast<int>(random.below(4));
    for (int s = 0; s < subscribers; ++s) {
      const std::string name = "sub" + std::to_string(count++);
      const std::string& dn =
          p >= kPeople && random.chance(70) ? spelled[p - kPeople] : people[p].dn;
      writeSubscriber(out, respell(dn, random.below(1000)), name,
                      static_cast<int>(random.below(4)));
    }
  }
}

std::string groupDn(int j) {
  return "cn=g" + std::to_string(j) + ",ou=groups,o=example";
}

void writeGroup(Writer& out, int j, const std::vector<Person>& people, Seeded& random) {
  const bool unique = random.chance(50);
  const char* memberType = unique ? "uniqueMember" : "member";
  out.begin(groupDn(j));
  out.value("objectClass", unique ? "groupOfUniqueNames" : "groupOfNames");
  out.value("cn", "g" + std::to_string(j));
  const int members = 1 + static_cast<int>(random.below(5));
  for (int m = 0; m < members; ++m) {
    const uint32_t pick = random.below(10);
    std::string member;
    if (pick < 6) {
      member = respell(people[random.below(people.size())].dn, random.below(1000));
    } else if (pick < 9) {
      member = respell(groupDn(static_cast<int>(random.below(kGroups))), random.below(1000));
    } else {
      member = "uid=ghost" + std::to_string(m) + ",ou=people,o=example";
    }
    if (unique && random.chance(40)) member += "#'0101'B";
    out.value(memberType, member);
  }
  out.end();
}

// Names as people write them: German, Scandinavian, French, Polish,
// Turkish, Greek and Cyrillic letters, a ligature, full-width letters,
// doubled, ideographic and no-break blanks, a Roman numeral, a circled and a
// title-case letter. Each person's number follows
// its name, so no two names are the same after matching.
const char* const kNames[] = {
    "J\u00FCrgen Gro\u00DF",
    "Stra\u00DFe",
    "\u00C5se \u00D8verg\u00E5rd",
    "Bj\u00F8rn \u00C6r\u00F8",
    "Fran\u00E7oise Lef\u00E8vre",
    "H\u00E9l\u00E8ne C\u00F4t\u00E9",
    "\u0141ukasz W\u0105sowicz",
    "\u017Baneta \u0179d\u017Ab\u0142o",
    "\u0130lkay G\u00FCndo\u011Fan",
    "I\u015F\u0131k \u00C7elik",
    "\u03A0\u03B1\u03C0\u03B1\u03B4\u03BF\u03C0\u03BF\u03CD\u03BB\u03BF\u03C5",
    "\u039F\u03B4\u03C5\u03C3\u03C3\u03B5\u03CD\u03C2 \u03A3\u03AC\u03C2",
    "\u042E\u0440\u0438\u0439 \u0401\u043B\u043A\u0438\u043D",
    "\u041D\u0430\u0442\u0430\u043B\u044C\u044F \u0429\u0443\u043A\u0438\u043D\u0430",
    "\uFB01nn \uFB02eming",
    "\uFF41\uFF4B\uFF49\uFF52\uFF41 \uFF34\uFF41\uFF4E\uFF41\uFF4B\uFF41",
    "Anna  Maria",
    "\u5C71\u7530\u3000\u592A\u90CE",
    "Zo\u00EB\u00A0Ng",
    "Schwarz Knight",
    "Xavier Wright-Phillips",
    "Ghislaine Thompson",
    "Accacia Science",
    "Dodge Gnome",
    "Whitney Czech",
    "Matthias  Schmidt",
    "Louis \u216B",
    "\u24B6nna \u01C5emal",
};

// Letters of several scripts for random names: Latin-1 and Latin
// Extended-A (dotted and dotless i, long s, the ij ligature), Greek with
// its tonos, Cyrillic, Armenian, Hebrew, CJK, Hangul and full-width Latin.
struct Letters {
  char32_t first;
  char32_t last;
};
const Letters kScripts[] = {{0xC0, 0xD6},     {0xD8, 0xFF},    {0x100, 0x17F},   {0x386, 0x38A},
                            {0x391, 0x3A1},   {0x3A3, 0x3CE},  {0x400, 0x45F},   {0x531, 0x556},
                            {0x561, 0x586},   {0x5D0, 0x5EA},  {0x4E00, 0x4E40}, {0xAC00, 0xAC40},
                            {0xFF21, 0xFF3A}, {0xFF41, 0xFF5A}};

void appendUtf8(std::string& out, char32_t codePoint) {
  utf8proc_uint8_t bytes[4];
  const utf8proc_ssize_t size =
      utf8proc_encode_char(static_cast<utf8proc_int32_t>(codePoint), bytes);
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

std::string randomName(Seeded& random) {
  std::string name;
  for (uint32_t word = 0, words = 1 + random.below(2); word < words; ++word) {
    if (word > 0) name += random.chance(30) ? "  " : " ";
    const Letters& script = kScripts[random.below(std::size(kScripts))];
    for (uint32_t k = 0, letters = 2 + random.below(6); k < letters; ++k) {
      appendUtf8(name, script.first + random.below(script.last - script.first + 1));
    }
  }
  return name;
}

template <typename Map>
std::string mapCodePoints(const std::string& text, Map map) {
  std::string out;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t codePoint = 0;
    const utf8proc_ssize_t size =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
    if (size <= 0) return text;
    appendUtf8(out, map(static_cast<char32_t>(codePoint)));
    at += static_cast<std::size_t>(size);
  }
  return out;
}

std::string decomposed(const std::string& text) {
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> held(
      utf8proc_NFD(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str())), &std::free);
  return held ? std::string(reinterpret_cast<const char*>(held.get())) : text;
}

// Another spelling of a value beyond ASCII: upper or lower case, accents
// decomposed (NFD), ASCII letters and digits full-width, or blanks made
// ideographic. The capital of "ß" stays "ß": slapd's Unicode tables predate
// the capital sharp s (U+1E9E) and leave it as it is, so "STRAẞE" does not
// match "Straße" there, while the embedded directory lowers it.
std::string spellAnotherWay(const std::string& text, uint32_t how) {
  switch (how % 5) {
    case 0:
      return mapCodePoints(text, [](char32_t c) {
        if (c == U'\u00DF') return c;
        return static_cast<char32_t>(utf8proc_toupper(static_cast<utf8proc_int32_t>(c)));
      });
    case 1:
      return mapCodePoints(text, [](char32_t c) {
        return static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
      });
    case 2:
      return decomposed(text);
    case 3:
      return mapCodePoints(text, [](char32_t c) {
        return c < 0x80 && std::isalnum(static_cast<int>(c)) != 0 ? c + 0xFEE0 : c;
      });
    default:
      return mapCodePoints(text, [](char32_t c) { return c == U' ' ? U'\u3000' : c; });
  }
}

// The value as a filter assertion (RFC 4515).
std::string filterValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '*' || c == '(' || c == ')' || c == '\\') {
      static const char kHex[] = "0123456789abcdef";
      out += '\\';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// The first `count` code points of a text, or those after them.
std::size_t codePointOffset(const std::string& text, std::size_t count) {
  std::size_t at = 0;
  while (at < text.size() && count > 0) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    --count;
  }
  return at;
}

// The value as someone might mishear it: the vowels after each word's
// first letter left out, a letter doubled, an H lost after a T.
std::string misheard(const std::string& text, uint32_t how) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool wordStart = i == 0 || text[i - 1] == ' ';
    if (how % 3 == 0 && !wordStart && std::strchr("aeiouAEIOU", c) != nullptr) continue;
    if (how % 3 == 1 && (c == 'h' || c == 'H') && i > 0 && text[i - 1] == 't') continue;
    out += c;
    if (how % 3 == 2 && !wordStart && std::isalpha(static_cast<unsigned char>(c)) != 0) out += c;
  }
  return out;
}

// Filters over one value in every form a search takes, each with the value
// spelled another way: equality, substrings (initial, any, final; cut at
// any code point, combining accents included), ordering, approximate (also
// misheard), presence, and the value within and, or and not.
void addFilters(std::vector<std::string>& filters, const std::string& type,
                const std::string& value, Seeded& random) {
  const std::string spelled = spellAnotherWay(value, random.below(5));
  const std::string asserted = filterValue(spelled);
  const std::size_t cut = codePointOffset(spelled, 1 + random.below(4));
  const std::string head = filterValue(spelled.substr(0, cut));
  const std::string tail = filterValue(spelled.substr(cut));
  const std::string middle =
      filterValue(spelled.substr(cut, codePointOffset(spelled.substr(cut), 3)));
  const std::string headAndTail = std::string(head).append("*").append(tail);
  for (const std::string& assertion :
       {"=" + asserted, "=" + head + "*", "=*" + middle + "*", "=*" + tail, "=" + headAndTail,
        ">=" + asserted, "<=" + asserted, "~=" + asserted}) {
    filters.push_back(std::string("(").append(type).append(assertion).append(")"));
  }
  filters.push_back("(" + type + "~=" + filterValue(misheard(value, random.below(3))) + ")");
  filters.push_back("(!(" + type + "=" + asserted + "))");
  std::string approximateOfPresent = "(&(" + type + "=*)(!(";
  approximateOfPresent.append(type).append("~=").append(asserted).append(")))");
  filters.push_back(approximateOfPresent);
  filters.push_back("(|(" + type + "=" + head + "*)(sn=" + asserted + "))");
}

struct InternationalPerson {
  std::string name;
  std::string dn;
};

// A person named beyond ASCII, with values of caseIgnore and caseExact
// types, and filters over them.
InternationalPerson writeInternationalPerson(Writer& out, int i, Seeded& random,
                                             std::vector<std::string>& filters) {
  const std::string n = std::to_string(kPeople + i);
  const std::string base = i < static_cast<int>(std::size(kNames)) ? kNames[i] : randomName(random);
  InternationalPerson person{base + " " + n, ""};
  person.dn = "cn=" + person.name + ",ou=people,o=example";
  const std::size_t blank = base.find(' ');
  const std::string given = base.substr(0, blank);
  const std::string surname = blank == std::string::npos ? base : base.substr(blank + 1);
  out.begin(person.dn);
  out.value("objectClass", "inetOrgPerson");
  out.value("objectClass", "extensibleObject");
  out.value("cn", person.name);
  out.value("sn", surname.empty() ? base : surname);
  out.value("givenName", given);
  const std::string other = randomName(random);
  out.value("description", other);
  out.value("labeledURI", "https://example.org/" + given);
  out.end();
  addFilters(filters, "cn", person.name, random);
  addFilters(filters, "givenName", given, random);
  addFilters(filters, "description", other, random);
  addFilters(filters, "labeledURI", "https://example.org/" + given, random);
  return person;
}

// The person's DN with its name spelled another way.
std::string spellDnAnotherWay(const InternationalPerson& person, Seeded& random) {
  const std::string name = spellAnotherWay(person.name, random.below(4));
  return respell("cn=" + name + ",ou=people,o=example", random.below(1000));
}

void writeFrame(Writer& out) {
  out.begin("o=example");
  out.value("objectClass", "organization");
  out.value("o", "example");
  out.end();
  for (const char* unit : {"people", "subscribers", "groups"}) {
    out.begin(std::string("ou=") + unit + ",o=example");
    out.value("objectClass", "organizationalUnit");
    out.value("ou", unit);
    out.end();
  }
  out.begin(kWriterDn);
  out.value("objectClass", "organizationalRole");
  out.value("objectClass", "simpleSecurityObject");
  out.value("cn", "writer");
  out.value("userPassword", kWriterPassword);
  out.end();
  out.begin(kAdministratorsDn);
  out.value("objectClass", "groupOfNames");
  out.value("cn", "administrators");
  out.value("member", "CN=Writer , o=Example");
  out.end();
}

}  // namespace

std::string respell(const std::string& dn, uint32_t seed) {
  Seeded random(seed);
  std::string out;
  bool escaped = false;
  for (char c : dn) {
    const auto byte = static_cast<unsigned char>(c);
    if (!escaped && c == ',' && random.chance(30)) {
      out += random.chance(50) ? ", " : " ,";
      continue;
    }
    if (std::isalpha(byte) && random.chance(40)) {
      c = static_cast<char>(std::isupper(byte) ? std::tolower(byte) : std::toupper(byte));
    }
    escaped = !escaped && c == '\\';
    out.push_back(c);
  }
  return out;
}

GeneratedDirectory generateDirectory(uint32_t seed) {
  Seeded random(seed);
  Writer out;
  writeFrame(out);
  std::vector<Person> people;
  people.reserve(kPeople);
  for (int i = 0; i < kPeople; ++i) people.push_back(personNamed(i));
  for (int i = 0; i < kPeople; ++i) writePerson(out, people[i], i, random);
  GeneratedDirectory directory;
  std::vector<std::string> spelled;  // the international people's DNs, spelled another way
  for (int i = 0; i < kInternationalPeople; ++i) {
    const InternationalPerson person = writeInternationalPerson(out, i, random, directory.filters);
    people.push_back({person.dn, {{"cn", person.name}}});
    spelled.push_back(spellDnAnotherWay(person, random));
  }
  writeSubscribers(out, people, random, spelled);
  for (int j = 0; j < kGroups; ++j) {
    writeGroup(out, j, people, random);
    directory.groups.push_back(groupDn(j));
  }
  directory.ldif = out.text();
  directory.entries = out.dns();
  for (int i = 0; i < kPeople; ++i) {
    directory.people.push_back(respell(people[i].dn, random.below(1000)));
  }
  directory.people.insert(directory.people.end(), spelled.begin(), spelled.end());
  return directory;
}

}  // namespace qortest

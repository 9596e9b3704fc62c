#include "integration/embedded/directory_generator.h"

#include <lber.h>
#include <ldif.h>

#include <cctype>

namespace qortest {
namespace {

constexpr int kPeople = 24;
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

void writeSubscribers(Writer& out, const std::vector<Person>& people, Seeded& random) {
  int count = 0;
  for (const Person& person : people) {
    const int subscribers = static_cast<int>(random.below(4));
    for (int s = 0; s < subscribers; ++s) {
      const std::string name = "sub" + std::to_string(count++);
      writeSubscriber(out, respell(person.dn, random.below(1000)), name,
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
      member = respell(people[random.below(kPeople)].dn, random.below(1000));
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
  writeSubscribers(out, people, random);
  GeneratedDirectory directory;
  for (int j = 0; j < kGroups; ++j) {
    writeGroup(out, j, people, random);
    directory.groups.push_back(groupDn(j));
  }
  directory.ldif = out.text();
  directory.entries = out.dns();
  for (const Person& person : people) {
    directory.people.push_back(respell(person.dn, random.below(1000)));
  }
  return directory;
}

}  // namespace qortest

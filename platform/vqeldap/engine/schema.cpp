#include "engine/schema.h"

#include <ldap.h>
#include <ldap_schema.h>

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "engine/system_schema.h"

namespace vqeldap::engine {

namespace {

using R = Rule;
using S = Syntax;

// One standard attribute type: its OID, its names (blank-separated, the
// first canonical), its superior, its equality, ordering and substrings
// rules and its syntax. A subtype that names no rule takes its superior's
// rules and syntax.
struct TypeRow {
  const char* oid;
  const char* names;
  const char* superior;
  Rule equality;
  Rule ordering;
  Rule substrings;
  Syntax syntax;
  bool singleValue;
};

constexpr bool kSingle = true;
constexpr bool kMulti = false;

// RFC 4519 and the types slapd builds in (objectClass, cn, uid, ...),
// RFC 4524 (COSINE) and RFC 2798 (inetOrgPerson), with the rules OpenLDAP's
// core, cosine and inetorgperson schemas give them.
constexpr TypeRow kStandardTypes[] = {
    // RFC 4512 / 4519
    {"2.5.4.0", "objectClass", nullptr, R::kObjectIdentifier, R::kNone, R::kNone, S::kOid, kMulti},
    {"2.5.4.1", "aliasedObjectName aliasedEntryName", nullptr, R::kDistinguishedName, R::kNone,
     R::kNone, S::kDn, kSingle},
    {"2.5.4.2", "knowledgeInformation", nullptr, R::kCaseIgnore, R::kNone, R::kNone,
     S::kDirectoryString, kMulti},
    {"2.5.4.3", "cn commonName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.4", "sn surname", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.5", "serialNumber", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kPrintableString, kMulti},
    {"2.5.4.6", "c countryName", "name", R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kCountryString, kSingle},
    {"2.5.4.7", "l localityName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString,
     kMulti},
    {"2.5.4.8", "st stateOrProvinceName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString,
     kMulti},
    {"2.5.4.9", "street streetAddress", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.10", "o organizationName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString,
     kMulti},
    {"2.5.4.11", "ou organizationalUnitName", "name", R::kNone, R::kNone, R::kNone,
     S::kDirectoryString, kMulti},
    {"2.5.4.12", "title", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.13", "description", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.14", "searchGuide", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.15", "businessCategory", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.16", "postalAddress", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.17", "postalCode", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.18", "postOfficeBox", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.19", "physicalDeliveryOfficeName", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.20", "telephoneNumber", nullptr, R::kTelephoneNumber, R::kNone, R::kTelephoneNumber,
     S::kTelephoneNumber, kMulti},
    {"2.5.4.21", "telexNumber", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.22", "teletexTerminalIdentifier", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.5.4.23", "facsimileTelephoneNumber fax", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.5.4.24", "x121Address", nullptr, R::kNumericString, R::kNone, R::kNumericString,
     S::kNumericString, kMulti},
    {"2.5.4.25", "internationaliSDNNumber", nullptr, R::kNumericString, R::kNone, R::kNumericString,
     S::kNumericString, kMulti},
    {"2.5.4.26", "registeredAddress", "postalAddress", R::kNone, R::kNone, R::kNone,
     S::kDirectoryString, kMulti},
    {"2.5.4.27", "destinationIndicator", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kPrintableString, kMulti},
    {"2.5.4.28", "preferredDeliveryMethod", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kSingle},
    {"2.5.4.29", "presentationAddress", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kSingle},
    {"2.5.4.30", "supportedApplicationContext", nullptr, R::kObjectIdentifier, R::kNone, R::kNone,
     S::kOid, kMulti},
    {"2.5.4.31", "member", "distinguishedName", R::kNone, R::kNone, R::kNone, S::kDn, kMulti},
    {"2.5.4.32", "owner", "distinguishedName", R::kNone, R::kNone, R::kNone, S::kDn, kMulti},
    {"2.5.4.33", "roleOccupant", "distinguishedName", R::kNone, R::kNone, R::kNone, S::kDn, kMulti},
    {"2.5.4.34", "seeAlso", "distinguishedName", R::kNone, R::kNone, R::kNone, S::kDn, kMulti},
    {"2.5.4.35", "userPassword", nullptr, R::kOctetString, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.36", "userCertificate", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.37", "cACertificate", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.38", "authorityRevocationList", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.5.4.39", "certificateRevocationList", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.5.4.40", "crossCertificatePair", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.41", "name", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore, S::kDirectoryString,
     kMulti},
    {"2.5.4.42", "givenName gn", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.43", "initials", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.44", "generationQualifier", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString,
     kMulti},
    {"2.5.4.45", "x500UniqueIdentifier", nullptr, R::kOctetString, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.5.4.46", "dnQualifier", nullptr, R::kCaseIgnore, R::kCaseIgnore, R::kCaseIgnore,
     S::kPrintableString, kMulti},
    {"2.5.4.47", "enhancedSearchGuide", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.48", "protocolInformation", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.49", "distinguishedName", nullptr, R::kDistinguishedName, R::kNone, R::kNone, S::kDn,
     kMulti},
    {"2.5.4.50", "uniqueMember", nullptr, R::kUniqueMember, R::kNone, R::kNone,
     S::kNameAndOptionalUid, kMulti},
    {"2.5.4.51", "houseIdentifier", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.5.4.52", "supportedAlgorithms", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.53", "deltaRevocationList", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets, kMulti},
    {"2.5.4.54", "dmdName", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"2.5.4.65", "pseudonym", "name", R::kNone, R::kNone, R::kNone, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.1", "uid userid", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.3", "mail rfc822Mailbox", nullptr, R::kCaseIgnoreIA5, R::kNone,
     R::kCaseIgnoreIA5, S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.25", "dc domainComponent", nullptr, R::kCaseIgnoreIA5, R::kNone,
     R::kCaseIgnoreIA5, S::kIA5String, kSingle},
    {"0.9.2342.19200300.100.1.37", "associatedDomain", nullptr, R::kCaseIgnoreIA5, R::kNone,
     R::kCaseIgnoreIA5, S::kIA5String, kMulti},
    {"1.2.840.113549.1.9.1", "email emailAddress pkcs9email", nullptr, R::kCaseIgnoreIA5, R::kNone,
     R::kCaseIgnoreIA5, S::kIA5String, kMulti},
    {"1.3.6.1.4.1.250.1.57", "labeledURI", nullptr, R::kCaseExact, R::kNone, R::kNone,
     S::kDirectoryString, kMulti},
    // RFC 4524
    {"0.9.2342.19200300.100.1.2", "textEncodedORAddress", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.4", "info", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.5", "drink favouriteDrink", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.6", "roomNumber", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.7", "photo", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"0.9.2342.19200300.100.1.8", "userClass", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.9", "host", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.10", "manager", nullptr, R::kDistinguishedName, R::kNone, R::kNone,
     S::kDn, kMulti},
    {"0.9.2342.19200300.100.1.11", "documentIdentifier", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.12", "documentTitle", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.13", "documentVersion", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.14", "documentAuthor", nullptr, R::kDistinguishedName, R::kNone,
     R::kNone, S::kDn, kMulti},
    {"0.9.2342.19200300.100.1.15", "documentLocation", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.20", "homePhone homeTelephoneNumber", nullptr, R::kTelephoneNumber,
     R::kNone, R::kTelephoneNumber, S::kTelephoneNumber, kMulti},
    {"0.9.2342.19200300.100.1.21", "secretary", nullptr, R::kDistinguishedName, R::kNone, R::kNone,
     S::kDn, kMulti},
    {"0.9.2342.19200300.100.1.22", "otherMailbox", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kMulti},
    {"0.9.2342.19200300.100.1.26", "aRecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.27", "mDRecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.28", "mXRecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.29", "nSRecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.30", "sOARecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.31", "cNAMERecord", nullptr, R::kCaseIgnoreIA5, R::kNone, R::kNone,
     S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.38", "associatedName", nullptr, R::kDistinguishedName, R::kNone,
     R::kNone, S::kDn, kMulti},
    {"0.9.2342.19200300.100.1.39", "homePostalAddress", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.40", "personalTitle", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.41", "mobile mobileTelephoneNumber", nullptr, R::kTelephoneNumber,
     R::kNone, R::kTelephoneNumber, S::kTelephoneNumber, kMulti},
    {"0.9.2342.19200300.100.1.42", "pager pagerTelephoneNumber", nullptr, R::kTelephoneNumber,
     R::kNone, R::kTelephoneNumber, S::kTelephoneNumber, kMulti},
    {"0.9.2342.19200300.100.1.43", "co friendlyCountryName", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.44", "uniqueIdentifier", nullptr, R::kCaseIgnore, R::kNone, R::kNone,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.45", "organizationalStatus", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.46", "janetMailbox", nullptr, R::kCaseIgnoreIA5, R::kNone,
     R::kCaseIgnoreIA5, S::kIA5String, kMulti},
    {"0.9.2342.19200300.100.1.47", "mailPreferenceOption", nullptr, R::kNone, R::kNone, R::kNone,
     S::kInteger, kMulti},
    {"0.9.2342.19200300.100.1.48", "buildingName", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.49", "dSAQuality", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kSingle},
    {"0.9.2342.19200300.100.1.50", "singleLevelQuality", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kSingle},
    {"0.9.2342.19200300.100.1.51", "subtreeMinimumQuality", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kSingle},
    {"0.9.2342.19200300.100.1.52", "subtreeMaximumQuality", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kSingle},
    {"0.9.2342.19200300.100.1.53", "personalSignature", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kMulti},
    {"0.9.2342.19200300.100.1.54", "dITRedirect", nullptr, R::kDistinguishedName, R::kNone,
     R::kNone, S::kDn, kMulti},
    {"0.9.2342.19200300.100.1.55", "audio", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"0.9.2342.19200300.100.1.56", "documentPublisher", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    // RFC 2798
    {"2.16.840.1.113730.3.1.1", "carLicense", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"2.16.840.1.113730.3.1.2", "departmentNumber", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kMulti},
    {"2.16.840.1.113730.3.1.241", "displayName", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kSingle},
    {"2.16.840.1.113730.3.1.3", "employeeNumber", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kSingle},
    {"2.16.840.1.113730.3.1.4", "employeeType", nullptr, R::kCaseIgnore, R::kNone, R::kCaseIgnore,
     S::kDirectoryString, kMulti},
    {"0.9.2342.19200300.100.1.60", "jpegPhoto", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
    {"2.16.840.1.113730.3.1.39", "preferredLanguage", nullptr, R::kCaseIgnore, R::kNone,
     R::kCaseIgnore, S::kDirectoryString, kSingle},
    {"2.16.840.1.113730.3.1.40", "userSMIMECertificate", nullptr, R::kNone, R::kNone, R::kNone,
     S::kOctets, kMulti},
    {"2.16.840.1.113730.3.1.216", "userPKCS12", nullptr, R::kNone, R::kNone, R::kNone, S::kOctets,
     kMulti},
};

using K = ClassKind;

// One standard object class: OID, names, superiors (blank-separated), kind,
// and the attributes it requires and allows (blank-separated).
struct ClassRow {
  const char* oid;
  const char* names;
  const char* superiors;
  ClassKind kind;
  const char* must;
  const char* may;
};

constexpr ClassRow kStandardClasses[] = {
    {"2.5.6.0", "top", "", K::kAbstract, "objectClass", ""},
    {"2.5.6.1", "alias", "top", K::kStructural, "aliasedObjectName", ""},
    {"1.3.6.1.4.1.1466.101.120.111", "extensibleObject", "top", K::kAuxiliary, "", ""},
    {"2.5.6.2", "country", "top", K::kStructural, "c", "searchGuide description"},
    {"2.5.6.3", "locality", "top", K::kStructural, "",
     "street seeAlso searchGuide st l description"},
    {"2.5.6.4", "organization", "top", K::kStructural, "o",
     "userPassword searchGuide seeAlso businessCategory x121Address registeredAddress "
     "destinationIndicator preferredDeliveryMethod telexNumber teletexTerminalIdentifier "
     "telephoneNumber internationaliSDNNumber facsimileTelephoneNumber street postOfficeBox "
     "postalCode postalAddress physicalDeliveryOfficeName st l description"},
    {"2.5.6.5", "organizationalUnit", "top", K::kStructural, "ou",
     "userPassword searchGuide seeAlso businessCategory x121Address registeredAddress "
     "destinationIndicator preferredDeliveryMethod telexNumber teletexTerminalIdentifier "
     "telephoneNumber internationaliSDNNumber facsimileTelephoneNumber street postOfficeBox "
     "postalCode postalAddress physicalDeliveryOfficeName st l description"},
    {"2.5.6.6", "person", "top", K::kStructural, "sn cn",
     "userPassword telephoneNumber seeAlso description"},
    {"2.5.6.7", "organizationalPerson", "person", K::kStructural, "",
     "title x121Address registeredAddress destinationIndicator preferredDeliveryMethod telexNumber "
     "teletexTerminalIdentifier telephoneNumber internationaliSDNNumber facsimileTelephoneNumber "
     "street postOfficeBox postalCode postalAddress physicalDeliveryOfficeName ou st l"},
    {"2.5.6.8", "organizationalRole", "top", K::kStructural, "cn",
     "x121Address registeredAddress destinationIndicator preferredDeliveryMethod telexNumber "
     "teletexTerminalIdentifier telephoneNumber internationaliSDNNumber facsimileTelephoneNumber "
     "seeAlso roleOccupant preferredDeliveryMethod street postOfficeBox postalCode postalAddress "
     "physicalDeliveryOfficeName ou st l description"},
    {"2.5.6.9", "groupOfNames", "top", K::kStructural, "member cn",
     "businessCategory seeAlso owner ou o description"},
    {"2.5.6.10", "residentialPerson", "person", K::kStructural, "l",
     "businessCategory x121Address registeredAddress destinationIndicator preferredDeliveryMethod "
     "telexNumber teletexTerminalIdentifier telephoneNumber internationaliSDNNumber "
     "facsimileTelephoneNumber preferredDeliveryMethod street postOfficeBox postalCode "
     "postalAddress physicalDeliveryOfficeName st l"},
    {"2.5.6.11", "applicationProcess", "top", K::kStructural, "cn", "seeAlso ou l description"},
    {"2.5.6.12", "applicationEntity", "top", K::kStructural, "presentationAddress cn",
     "supportedApplicationContext seeAlso ou o l description"},
    {"2.5.6.13", "dSA", "applicationEntity", K::kStructural, "", "knowledgeInformation"},
    {"2.5.6.14", "device", "top", K::kStructural, "cn",
     "serialNumber seeAlso owner ou o l description"},
    {"2.5.6.15", "strongAuthenticationUser", "top", K::kAuxiliary, "userCertificate", ""},
    {"2.5.6.16", "certificationAuthority", "top", K::kAuxiliary,
     "authorityRevocationList certificateRevocationList cACertificate", "crossCertificatePair"},
    {"2.5.6.16.2", "certificationAuthority-V2", "certificationAuthority", K::kAuxiliary, "",
     "deltaRevocationList"},
    {"2.5.6.17", "groupOfUniqueNames", "top", K::kStructural, "uniqueMember cn",
     "businessCategory seeAlso owner ou o description"},
    {"2.5.6.18", "userSecurityInformation", "top", K::kAuxiliary, "", "supportedAlgorithms"},
    {"2.5.6.19", "cRLDistributionPoint", "top", K::kStructural, "cn",
     "certificateRevocationList authorityRevocationList deltaRevocationList"},
    {"2.5.6.20", "dmd", "top", K::kStructural, "dmdName",
     "userPassword searchGuide seeAlso businessCategory x121Address registeredAddress "
     "destinationIndicator preferredDeliveryMethod telexNumber teletexTerminalIdentifier "
     "telephoneNumber internationaliSDNNumber facsimileTelephoneNumber street postOfficeBox "
     "postalCode postalAddress physicalDeliveryOfficeName st l description"},
    {"2.5.6.21", "pkiUser", "top", K::kAuxiliary, "", "userCertificate"},
    {"2.5.6.22", "pkiCA", "top", K::kAuxiliary, "",
     "authorityRevocationList certificateRevocationList cACertificate crossCertificatePair"},
    {"2.5.6.23", "deltaCRL", "top", K::kAuxiliary, "", "deltaRevocationList"},
    {"1.3.6.1.4.1.250.3.15", "labeledURIObject", "top", K::kAuxiliary, "", "labeledURI"},
    {"0.9.2342.19200300.100.4.19", "simpleSecurityObject", "top", K::kAuxiliary, "userPassword",
     ""},
    {"1.3.6.1.4.1.1466.344", "dcObject", "top", K::kAuxiliary, "dc", ""},
    {"1.3.6.1.1.3.1", "uidObject", "top", K::kAuxiliary, "uid", ""},
    {"0.9.2342.19200300.100.4.3", "pilotObject", "top", K::kAuxiliary, "",
     "info photo manager uniqueIdentifier dITRedirect audio"},
    {"0.9.2342.19200300.100.4.4", "pilotPerson newPilotPerson", "person", K::kStructural, "",
     "userid textEncodedORAddress rfc822Mailbox favouriteDrink roomNumber userClass "
     "homeTelephoneNumber homePostalAddress secretary personalTitle preferredDeliveryMethod "
     "businessCategory janetMailbox otherMailbox mobileTelephoneNumber pagerTelephoneNumber "
     "organizationalStatus mailPreferenceOption personalSignature"},
    {"0.9.2342.19200300.100.4.5", "account", "top", K::kStructural, "uid",
     "description seeAlso localityName organizationName organizationalUnitName host"},
    {"0.9.2342.19200300.100.4.6", "document", "top", K::kStructural, "documentIdentifier",
     "commonName description seeAlso localityName organizationName organizationalUnitName "
     "documentTitle documentVersion documentAuthor documentLocation documentPublisher"},
    {"0.9.2342.19200300.100.4.7", "room", "top", K::kStructural, "cn",
     "roomNumber description seeAlso telephoneNumber"},
    {"0.9.2342.19200300.100.4.9", "documentSeries", "top", K::kStructural, "cn",
     "description seeAlso telephonenumber localityName organizationName organizationalUnitName"},
    {"0.9.2342.19200300.100.4.13", "domain", "top", K::kStructural, "dc",
     "associatedName organizationName description businessCategory seeAlso searchGuide "
     "userPassword localityName stateOrProvinceName streetAddress physicalDeliveryOfficeName "
     "postalAddress postalCode postOfficeBox streetAddress facsimileTelephoneNumber "
     "internationalISDNNumber telephoneNumber teletexTerminalIdentifier telexNumber "
     "preferredDeliveryMethod destinationIndicator registeredAddress x121Address"},
    {"0.9.2342.19200300.100.4.14", "RFC822localPart", "domain", K::kStructural, "",
     "commonName surname description seeAlso telephoneNumber physicalDeliveryOfficeName "
     "postalAddress postalCode postOfficeBox streetAddress facsimileTelephoneNumber "
     "internationalISDNNumber telephoneNumber teletexTerminalIdentifier telexNumber "
     "preferredDeliveryMethod destinationIndicator registeredAddress x121Address"},
    {"0.9.2342.19200300.100.4.15", "dNSDomain", "domain", K::kStructural, "",
     "ARecord MDRecord MXRecord NSRecord SOARecord CNAMERecord"},
    {"0.9.2342.19200300.100.4.17", "domainRelatedObject", "top", K::kAuxiliary, "associatedDomain",
     ""},
    {"0.9.2342.19200300.100.4.18", "friendlyCountry", "country", K::kStructural, "co", ""},
    {"0.9.2342.19200300.100.4.20", "pilotOrganization", "organization organizationalUnit",
     K::kStructural, "", "buildingName"},
    {"0.9.2342.19200300.100.4.21", "pilotDSA", "dSA", K::kStructural, "", "dSAQuality"},
    {"0.9.2342.19200300.100.4.22", "qualityLabelledData", "top", K::kAuxiliary, "dSAQuality",
     "subtreeMinimumQuality subtreeMaximumQuality"},
    {"2.16.840.1.113730.3.2.2", "inetOrgPerson", "organizationalPerson", K::kStructural, "",
     "audio businessCategory carLicense departmentNumber displayName employeeNumber employeeType "
     "givenName homePhone homePostalAddress initials jpegPhoto labeledURI mail manager mobile o "
     "pager photo roomNumber secretary uid userCertificate x500uniqueIdentifier preferredLanguage "
     "userSMIMECertificate userPKCS12"},
};

// Matching rules by the names schema files give them.
struct NamedRule {
  const char* name;
  Rule rule;
};

constexpr NamedRule kRuleNames[] = {
    {"caseIgnoreMatch", R::kCaseIgnore},
    {"caseIgnoreOrderingMatch", R::kCaseIgnore},
    {"caseIgnoreSubstringsMatch", R::kCaseIgnore},
    {"caseIgnoreListMatch", R::kCaseIgnore},
    {"caseIgnoreListSubstringsMatch", R::kCaseIgnore},
    {"caseExactMatch", R::kCaseExact},
    {"caseExactOrderingMatch", R::kCaseExact},
    {"caseExactSubstringsMatch", R::kCaseExact},
    {"caseIgnoreIA5Match", R::kCaseIgnoreIA5},
    {"caseIgnoreIA5SubstringsMatch", R::kCaseIgnoreIA5},
    {"caseExactIA5Match", R::kCaseExactIA5},
    {"numericStringMatch", R::kNumericString},
    {"numericStringOrderingMatch", R::kNumericString},
    {"numericStringSubstringsMatch", R::kNumericString},
    {"telephoneNumberMatch", R::kTelephoneNumber},
    {"telephoneNumberSubstringsMatch", R::kTelephoneNumber},
    {"distinguishedNameMatch", R::kDistinguishedName},
    {"uniqueMemberMatch", R::kUniqueMember},
    {"objectIdentifierMatch", R::kObjectIdentifier},
    {"octetStringMatch", R::kOctetString},
    {"octetStringOrderingMatch", R::kOctetString},
    {"bitStringMatch", R::kOctetString},
    {"integerMatch", R::kInteger},
    {"integerOrderingMatch", R::kInteger},
    {"booleanMatch", R::kBoolean},
};

// Syntaxes by OID (RFC 4517); any other is taken as bytes.
struct SyntaxOid {
  const char* oid;
  Syntax syntax;
};

constexpr SyntaxOid kSyntaxOids[] = {
    {"1.3.6.1.4.1.1466.115.121.1.15", S::kDirectoryString},
    {"1.3.6.1.4.1.1466.115.121.1.41", S::kDirectoryString},  // postal address
    {"1.3.6.1.4.1.1466.115.121.1.26", S::kIA5String},
    {"1.3.6.1.4.1.1466.115.121.1.44", S::kPrintableString},
    {"1.3.6.1.4.1.1466.115.121.1.11", S::kCountryString},
    {"1.3.6.1.4.1.1466.115.121.1.36", S::kNumericString},
    {"1.3.6.1.4.1.1466.115.121.1.50", S::kTelephoneNumber},
    {"1.3.6.1.4.1.1466.115.121.1.12", S::kDn},
    {"1.3.6.1.4.1.1466.115.121.1.34", S::kNameAndOptionalUid},
    {"1.3.6.1.4.1.1466.115.121.1.38", S::kOid},
    {"1.3.6.1.4.1.1466.115.121.1.27", S::kInteger},
    {"1.3.6.1.4.1.1466.115.121.1.7", S::kBoolean},
};

char lowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) out.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::vector<std::string> namesOf(char** names) {
  std::vector<std::string> out;
  for (char** name = names; name != nullptr && *name != nullptr; ++name) out.emplace_back(*name);
  return out;
}

Rule ruleNamed(const char* name) {
  if (name == nullptr) return Rule::kNone;
  for (const NamedRule& named : kRuleNames) {
    if (strcasecmp(named.name, name) == 0) return named.rule;
  }
  return Rule::kNone;
}

Syntax syntaxOf(const char* oid) {
  if (oid == nullptr) return Syntax::kOctets;
  for (const SyntaxOid& entry : kSyntaxOids) {
    if (std::strcmp(entry.oid, oid) == 0) return entry.syntax;
  }
  return Syntax::kOctets;
}

struct FreeAttributeType {
  void operator()(LDAPAttributeType* type) const { ldap_attributetype_free(type); }
};
struct FreeObjectClass {
  void operator()(LDAPObjectClass* cls) const { ldap_objectclass_free(cls); }
};

constexpr unsigned kSchemaFlags = LDAP_SCHEMA_ALLOW_ALL;

// The statements of schema text: each keyword with the parenthesised text
// after it, comments and objectidentifier lines left out.
struct Statement {
  std::string keyword;
  std::string body;
};

std::vector<Statement> statementsOf(std::string_view text) {
  std::vector<Statement> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!out.empty()) out.back().body.append(" ").append(line);
      continue;
    }
    const std::size_t blank = line.find_first_of(" \t");
    Statement statement;
    statement.keyword = lowerAscii(line.substr(0, blank));
    if (blank != std::string_view::npos) statement.body.assign(line.substr(blank + 1));
    out.push_back(std::move(statement));
  }
  return out;
}

}  // namespace

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerChar(c);
  return out;
}

std::size_t NoCaseHash::operator()(std::string_view text) const {
  std::size_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(lowerChar(c))) * 1099511628211ull;
  return hash;
}

bool NoCaseEqual::operator()(std::string_view a, std::string_view b) const {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool AttributeType::isA(const AttributeType* ancestor) const {
  for (const AttributeType* type = this; type != nullptr; type = type->superior) {
    if (type == ancestor) return true;
  }
  return false;
}

bool ObjectClass::isA(const ObjectClass* ancestor) const {
  if (this == ancestor) return true;
  for (const ObjectClass* superior : superiors) {
    if (superior->isA(ancestor)) return true;
  }
  return false;
}

bool ObjectClass::allows(const AttributeType* type) const {
  if (allowsAnything) return true;
  for (const AttributeType* at = type; at != nullptr; at = at->superior) {
    if (allowed.count(at) != 0) return true;
  }
  return false;
}

AttributeType& Schema::addType(std::unique_ptr<AttributeType> type) {
  AttributeType& added = *types_.emplace_back(std::move(type));
  added.lowerCanonical = lowerAscii(added.canonical);
  for (const std::string& name : added.names) typeByName_[name] = &added;
  if (!added.oid.empty()) typeByName_[added.oid] = &added;
  return added;
}

ObjectClass& Schema::addClass(std::unique_ptr<ObjectClass> cls) {
  ObjectClass& added = *classes_.emplace_back(std::move(cls));
  added.lowerCanonical = lowerAscii(added.canonical);
  for (const std::string& name : added.names) classByName_[name] = &added;
  if (!added.oid.empty()) classByName_[added.oid] = &added;
  return added;
}

const AttributeType* Schema::attribute(std::string_view nameOrOid) const {
  auto found = typeByName_.find(nameOrOid);
  return found == typeByName_.end() ? nullptr : found->second;
}

const ObjectClass* Schema::objectClass(std::string_view nameOrOid) const {
  auto found = classByName_.find(nameOrOid);
  return found == classByName_.end() ? nullptr : found->second;
}

bool Schema::readType(const std::string& statement, std::string& error) {
  int code = 0;
  const char* where = nullptr;
  std::unique_ptr<LDAPAttributeType, FreeAttributeType> parsed(
      ldap_str2attributetype(statement.c_str(), &code, &where, kSchemaFlags));
  if (parsed == nullptr || parsed->at_names == nullptr) {
    error = "attributetype " + statement;
    return false;
  }
  auto type = std::make_unique<AttributeType>();
  type->names = namesOf(parsed->at_names);
  type->canonical = type->names.front();
  type->oid = parsed->at_oid != nullptr ? parsed->at_oid : "";
  type->equality = ruleNamed(parsed->at_equality_oid);
  type->ordering = ruleNamed(parsed->at_ordering_oid);
  type->substrings = ruleNamed(parsed->at_substr_oid);
  type->syntax = syntaxOf(parsed->at_syntax_oid);
  type->singleValue = parsed->at_single_value != 0;
  AttributeType& added = addType(std::move(type));
  if (parsed->at_sup_oid != nullptr) links_.typeSuperior[&added] = parsed->at_sup_oid;
  return true;
}

bool Schema::readClass(const std::string& statement, std::string& error) {
  int code = 0;
  const char* where = nullptr;
  std::unique_ptr<LDAPObjectClass, FreeObjectClass> parsed(
      ldap_str2objectclass(statement.c_str(), &code, &where, kSchemaFlags));
  if (parsed == nullptr || parsed->oc_names == nullptr) {
    error = "objectclass " + statement;
    return false;
  }
  auto cls = std::make_unique<ObjectClass>();
  cls->names = namesOf(parsed->oc_names);
  cls->canonical = cls->names.front();
  cls->oid = parsed->oc_oid != nullptr ? parsed->oc_oid : "";
  cls->kind = parsed->oc_kind == LDAP_SCHEMA_ABSTRACT    ? ClassKind::kAbstract
              : parsed->oc_kind == LDAP_SCHEMA_AUXILIARY ? ClassKind::kAuxiliary
                                                         : ClassKind::kStructural;
  ObjectClass& added = addClass(std::move(cls));
  links_.classSuperiors[&added] = namesOf(parsed->oc_sup_oids);
  links_.classMust[&added] = namesOf(parsed->oc_at_oids_must);
  links_.classMay[&added] = namesOf(parsed->oc_at_oids_may);
  return true;
}

bool Schema::read(std::string_view text, std::string& error) {
  for (const Statement& statement : statementsOf(text)) {
    if (statement.keyword == "attributetype") {
      if (!readType(statement.body, error)) return false;
    } else if (statement.keyword == "objectclass") {
      if (!readClass(statement.body, error)) return false;
    }
  }
  return true;
}

// What `from` and the classes it derives from require and allow, added to
// what `cls` requires and allows.
void Schema::gatherAllowed(ObjectClass& cls, const ObjectClass& from) const {
  for (const AttributeType* type : from.must) {
    if (cls.allowed.insert(type).second) cls.required.push_back(type);
  }
  cls.allowed.insert(from.may.begin(), from.may.end());
  for (const ObjectClass* superior : from.superiors) gatherAllowed(cls, *superior);
}

// Links superiors and required attributes by name, flattens what each
// class requires and allows, then gives subtypes without rules of their
// own the rules and syntax of their superior.
void Schema::inherit() {
  Links& links = links_;
  for (auto& [type, superior] : links.typeSuperior) type->superior = attribute(superior);
  for (auto& [cls, superiors] : links.classSuperiors) {
    for (const std::string& name : superiors) {
      if (const ObjectClass* superior = objectClass(name)) cls->superiors.push_back(superior);
    }
  }
  for (auto& [cls, must] : links.classMust) {
    for (const std::string& name : must) {
      if (const AttributeType* type = attribute(name)) cls->must.push_back(type);
    }
  }
  for (auto& [cls, may] : links.classMay) {
    for (const std::string& name : may) {
      if (const AttributeType* type = attribute(name)) cls->may.push_back(type);
    }
  }
  links = Links{};
  const ObjectClass* anything = objectClass("extensibleObject");
  for (auto& cls : classes_) {
    gatherAllowed(*cls, *cls);
    cls->allowsAnything = cls.get() == anything;
  }
  for (auto& type : types_) {
    const AttributeType* from = type->superior;
    if (from == nullptr || type->equality != Rule::kNone || type->ordering != Rule::kNone ||
        type->substrings != Rule::kNone) {
      continue;
    }
    while (from->superior != nullptr && from->equality == Rule::kNone) from = from->superior;
    type->equality = from->equality;
    type->ordering = from->ordering;
    type->substrings = from->substrings;
    type->syntax = from->syntax;
  }
}

void Schema::addStandardTypes() {
  for (const TypeRow& row : kStandardTypes) {
    auto type = std::make_unique<AttributeType>();
    type->names = words(row.names);
    type->canonical = type->names.front();
    type->oid = row.oid;
    type->equality = row.equality;
    type->ordering = row.ordering;
    type->substrings = row.substrings;
    type->syntax = row.syntax;
    type->singleValue = row.singleValue;
    AttributeType& added = addType(std::move(type));
    if (row.superior != nullptr) links_.typeSuperior[&added] = row.superior;
  }
}

void Schema::addStandardClasses() {
  for (const ClassRow& row : kStandardClasses) {
    auto cls = std::make_unique<ObjectClass>();
    cls->names = words(row.names);
    cls->canonical = cls->names.front();
    cls->oid = row.oid;
    cls->kind = row.kind;
    ObjectClass& added = addClass(std::move(cls));
    links_.classSuperiors[&added] = words(row.superiors);
    links_.classMust[&added] = words(row.must);
    links_.classMay[&added] = words(row.may);
  }
}

const Schema& Schema::standard() {
  static const Schema* schema = [] {
    auto* built = new Schema();
    built->addStandardTypes();
    built->addStandardClasses();
    // The schema file is part of the build; a statement libldap cannot
    // read is a build fault that the schema tests report.
    built->read(kSystemSchemaText, built->systemSchemaError_);
    built->inherit();
    built->objectClass_ = built->attribute("objectClass");
    built->userPassword_ = built->attribute("userPassword");
    return built;
  }();
  return *schema;
}

}  // namespace vqeldap::engine

// Stand-in for <maya/MStatus.h>: the status every API call reports, the MS
// typedef and the CHECK macros. As in the devkit, operator bool is NOT
// explicit, and the header brings in <maya/MIOStream.h> so that the macros'
// unqualified cerr and endl resolve.
#pragma once

#include <maya/MIOStream.h>
#include <maya/MString.h>
#include <maya/MTypes.h>

class OPENMAYA_EXPORT MStatus {
 public:
  enum MStatusCode {
    kSuccess = 0,
    kFailure,
    kInsufficientMemory,
    kInvalidParameter,
    kLicenseFailure,
    kUnknownParameter,
    kNotImplemented,
    kNotFound,
    kEndOfFile
  };

  MStatus() : code_(kSuccess), ok_(true) {}
  MStatus(MStatusCode code) : code_(code), ok_(code == kSuccess) {}
  MStatus(const MStatus&) = default;
  MStatus& operator=(const MStatus&) = default;

  // Comparisons look at the code only.
  bool operator==(const MStatus& other) const { return code_ == other.code_; }
  bool operator==(const MStatusCode code) const { return code_ == code; }
  bool operator!=(const MStatus& other) const { return code_ != other.code_; }
  bool operator!=(const MStatusCode code) const { return code_ != code; }
  friend bool operator==(const MStatus::MStatusCode code, const MStatus& s) { return s == code; }
  friend bool operator!=(const MStatus::MStatusCode code, const MStatus& s) { return s != code; }

  operator bool() const { return ok_; }
  bool error() const { return !ok_; }
  void clear() {
    code_ = kSuccess;
    ok_ = true;
  }
  MStatusCode statusCode() const { return code_; }

  // The code's name, e.g. "kFailure".
  MString errorString() const;
  // Writes "<msg>: <errorString>" and a line feed to standard error.
  void perror(const char* msg) const;
  void perror(const MString& msg) const;

  friend OPENMAYA_EXPORT std::ostream& operator<<(std::ostream& os, MStatus& s);

  void set(bool ok, unsigned char code, unsigned char) {
    ok_ = ok;
    code_ = static_cast<MStatusCode>(code);
  }
  void setSuccess() { clear(); }

 private:
  MStatusCode code_;
  bool ok_;
};

#ifndef MNoMSTypedef
typedef MStatus MS;
#endif

#define CHECK_MSTATUS_AND_RETURN(_status, _retVal)                                       \
  {                                                                                      \
    MStatus _maya_status = (_status);                                                    \
    if (MStatus::kSuccess != _maya_status) {                                             \
      cerr << "\nAPI error detected in " << __FILE__ << " at line " << __LINE__ << endl; \
      _maya_status.perror("");                                                           \
      return (_retVal);                                                                  \
    }                                                                                    \
  }

#define CHECK_MSTATUS_AND_RETURN_IT(_status) CHECK_MSTATUS_AND_RETURN((_status), (_status))

#define CHECK_MSTATUS(_status)                                                           \
  {                                                                                      \
    MStatus _maya_status = (_status);                                                    \
    if (MStatus::kSuccess != _maya_status) {                                             \
      cerr << "\nAPI error detected in " << __FILE__ << " at line " << __LINE__ << endl; \
      _maya_status.perror("");                                                           \
    }                                                                                    \
  }

#define MFAIL(_s) (MS::kSuccess != (_s))

// The support library's exception hierarchy. The program raises exactly one
// kind: Z_MemoryException_Allocation, when counted allocation fails.
#pragma once

class Z_Exception {
public:
    Z_Exception(const Z_Exception&) = default;
    Z_Exception& operator=(const Z_Exception&) = default;
    virtual ~Z_Exception();
    virtual const char* getErrorMessage() const;

protected:
    Z_Exception() = default;
    // printf-style. The text is kept in a fixed array so that reporting an
    // allocation failure never needs to allocate.
    void setError(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

private:
    char m_message[256] = {};
};

class Z_MemoryException : public Z_Exception {
protected:
    Z_MemoryException() = default;
};

class Z_MemoryException_Allocation : public Z_MemoryException {
public:
    Z_MemoryException_Allocation();
};

; A partition boot sector for the MBR boot test, not shipped. It reports on
; COM1 what the MBR code handed over, then ends the virtual machine:
;   "KESTROVA-VBR dl=80 ds=0000 si=07CE entry=<16 bytes in hex>\r\n"
; and a write to QEMU's isa-debug-exit port (0xF4) when that device exists;
; without it the sector halts and the test stops the machine.
;
; Build: nasm -f bin -o test_vbr.bin test_vbr.asm   (512 bytes, ends in 55 AA)

        bits 16
        cpu 8086
        org 0x7C00

COM1    equ 0x3F8

start:
        ; Keep what the caller passed before anything changes it.
        mov [cs:in_dl], dl
        mov [cs:in_ds], ds
        mov [cs:in_si], si
        xor ax, ax
        mov ds, ax
        mov ss, ax
        mov sp, 0x7C00
        cld

        mov si, txt_head
        call puts
        mov al, [in_dl]
        call hex8
        mov si, txt_ds
        call puts
        mov ax, [in_ds]
        call hex16
        mov si, txt_si
        call puts
        mov ax, [in_si]
        call hex16
        mov si, txt_entry
        call puts
        mov es, [in_ds]         ; the entry as the caller addressed it
        mov di, [in_si]
        mov cx, 16
.entry:
        mov al, [es:di]
        call hex8
        inc di
        loop .entry
        mov si, txt_end
        call puts

        mov dx, 0xF4            ; isa-debug-exit: QEMU exits with status (0x10 << 1) | 1
        mov al, 0x10
        out dx, al
.halt:
        cli
        hlt
        jmp .halt

; AX as four hex digits.
hex16:
        push ax
        mov al, ah
        call hex8
        pop ax
; AL as two hex digits.
hex8:
        push ax
        push cx
        mov cl, 4
        shr al, cl
        call hexdigit
        pop cx
        pop ax
        push ax
        and al, 0x0F
        call hexdigit
        pop ax
        ret
hexdigit:
        add al, '0'
        cmp al, '9'
        jbe putc
        add al, 'A' - '9' - 1
; AL to COM1, once the transmitter is free.
putc:
        push dx
        push ax
        mov dx, COM1 + 5
.wait:
        in al, dx
        test al, 0x20
        jz .wait
        pop ax
        mov dx, COM1
        out dx, al
        pop dx
        ret
; The zero-terminated text at DS:SI.
puts:
        lodsb
        test al, al
        jz .done
        call putc
        jmp puts
.done:
        ret

txt_head:  db "KESTROVA-VBR dl=", 0
txt_ds:    db " ds=", 0
txt_si:    db " si=", 0
txt_entry: db " entry=", 0
txt_end:   db 13, 10, 0

in_dl:  db 0
in_ds:  dw 0
in_si:  dw 0

        times 510 - ($ - $$) db 0
        dw 0xAA55

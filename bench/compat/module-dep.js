// Imported by module-main.js, and by the dynamic import() check.
export const answer = 42;
export function greet(name) {
    return `hello ${name}`;
}
